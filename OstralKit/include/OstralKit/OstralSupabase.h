#pragma once

#include <Supabase/Client.h>

#include <memory>

// The factory of the one backend client, for the build's backend URL and anonymous key.
namespace ostral::OstralSupabase {

// The options the shell runs with (useDefaults false): the session in the default secure store
// under the default storage key, automatic refresh off until the session controller switches it
// on, the stored session not emitted as it is at start-up, and the realtime settings spelled out
// (25 s heartbeat, 7 s reconnect delay, 10 s timeout, disconnect 50 s after the last channel,
// 5 attempts, connect on subscribe, disconnect on session loss). useDefaults true gives the client
// library's own defaults; nothing in the shell uses that.
supabase::ClientOptions clientOptions(bool useDefaults);

std::shared_ptr<supabase::Client> makeClient(bool useDefaults);

} // namespace ostral::OstralSupabase
