#include "PhoenixSocket.h"

#include <Supabase/Realtime.h>

#include <utility>

namespace ostral::supabase {

namespace {

support::Task<void> removeAllChannelsTask(std::weak_ptr<detail::PhoenixSocket> socket) {
    std::vector<std::shared_ptr<RealtimeChannel>> channels;
    if (auto current = socket.lock()) {
        channels = current->channels();
    }
    for (const auto& channel : channels) {
        co_await channel->unsubscribe();
    }
    if (auto current = socket.lock()) {
        current->forgetAll();
    }
}

} // namespace

support::Task<void> RealtimeClient::removeChannelTask(std::weak_ptr<detail::PhoenixSocket> socket,
                                                      std::shared_ptr<RealtimeChannel> channel) {
    if (!channel) {
        co_return;
    }
    co_await channel->unsubscribe();
    channel->close();
    if (auto current = socket.lock()) {
        current->forget(channel);
    }
}

RealtimeClient::RealtimeClient(std::string baseUrl, std::string apiKey, RealtimeOptions options,
                               support::TimerSource& timers, const support::Clock& clock,
                               support::GObjectPtr<SoupSession> session)
    : socket_(std::make_shared<detail::PhoenixSocket>(std::move(baseUrl), std::move(apiKey),
                                                      options, timers, clock, std::move(session))) {
}

RealtimeClient::~RealtimeClient() {
    socket_->forgetAll();
}

std::shared_ptr<RealtimeChannel> RealtimeClient::channel(std::string name) {
    return socket_->channel(std::move(name));
}

support::Task<void> RealtimeClient::removeChannel(std::shared_ptr<RealtimeChannel> channel) {
    return removeChannelTask(socket_, std::move(channel));
}

support::Task<void> RealtimeClient::removeAllChannels() {
    return removeAllChannelsTask(socket_);
}

std::vector<std::shared_ptr<RealtimeChannel>> RealtimeClient::channels() const {
    return socket_->channels();
}

void RealtimeClient::setAuth(std::optional<std::string> accessToken) {
    socket_->setAuth(std::move(accessToken));
}

std::optional<std::string> RealtimeClient::accessToken() const {
    return socket_->accessToken();
}

void RealtimeClient::connect() {
    socket_->connect();
}

void RealtimeClient::disconnect() {
    socket_->disconnect();
}

bool RealtimeClient::isConnected() const {
    return socket_->isOpen();
}

const RealtimeOptions& RealtimeClient::options() const {
    return socket_->options();
}

std::string RealtimeClient::websocketUrl() const {
    return socket_->url();
}

} // namespace ostral::supabase
