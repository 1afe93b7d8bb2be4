// Drives the official Supabase JavaScript client against the local backend, so that tests can
// compare its answers with our client's.
//
//   node peer.mjs '<JSON list of steps>'
//
// Reads OSTRAL_DEVSTACK_URL and OSTRAL_DEVSTACK_ANON_KEY. Runs the steps in order and prints one
// JSON line per step: {"step": <index>, "op": ..., "result": ...} or {..., "error": {...}}.
// Steps:
//   {"op":"signIn","email":..,"password":..}      result: {user_id, email, token_type, expires_in, sub}
//   {"op":"select","table":..,"columns":..,"eq":{col: value}, "single": bool}
//   {"op":"rpc","fn":..,"params":{...}}            params optional
//   {"op":"subscribe","table":..,"event":"INSERT","filter":"col=eq.v"}
//        subscribes one channel; the line is printed once the channel reports SUBSCRIBED
//   {"op":"changes","count":n,"timeoutMs":ms}      waits for n change records from the channel;
//                                                  result: the list of {type, record}
//   {"op":"watch"}                                 prints {"op":"change","id":..,"receivedAt":ms}
//        for every INSERT until stdin closes (the benchmark peer)
//   {"op":"signOut"}
import { createClient } from '@supabase/supabase-js';
import ws from 'ws';

const url = process.env.OSTRAL_DEVSTACK_URL;
const key = process.env.OSTRAL_DEVSTACK_ANON_KEY;
if (!url || !key) {
  console.error('peer: OSTRAL_DEVSTACK_URL and OSTRAL_DEVSTACK_ANON_KEY must be set');
  process.exit(2);
}

const memory = new Map();
const client = createClient(url, key, {
  auth: {
    storage: {
      getItem: (k) => memory.get(k) ?? null,
      setItem: (k, v) => memory.set(k, v),
      removeItem: (k) => memory.delete(k),
    },
    autoRefreshToken: false,
    persistSession: true,
    detectSessionInUrl: false,
  },
  realtime: { transport: ws },
});

const print = (line) => process.stdout.write(JSON.stringify(line) + '\n');
const errorOf = (e) => ({ code: e.code ?? null, message: e.message ?? String(e), status: e.status ?? null });
const subOf = (jwt) => JSON.parse(Buffer.from(jwt.split('.')[1], 'base64url').toString()).sub;

let steps;
try {
  steps = JSON.parse(process.argv[2] ?? '[]');
} catch (e) {
  console.error(`peer: the steps are not JSON: ${e.message}`);
  process.exit(2);
}

const received = [];
let wake = null;
let channel = null;

for (const [index, step] of steps.entries()) {
  const out = { step: index, op: step.op };
  try {
    switch (step.op) {
      case 'signIn': {
        const { data, error } = await client.auth.signInWithPassword({ email: step.email, password: step.password });
        if (error) { out.error = errorOf(error); break; }
        const s = data.session;
        out.result = { user_id: s.user.id, email: s.user.email, token_type: s.token_type,
                       expires_in: s.expires_in, sub: subOf(s.access_token) };
        await client.realtime.setAuth(s.access_token);
        break;
      }
      case 'select': {
        let query = client.from(step.table).select(step.columns ?? '*');
        for (const [column, value] of Object.entries(step.eq ?? {})) query = query.eq(column, value);
        const { data, error, status } = step.single ? await query.single() : await query;
        if (error) { out.error = { ...errorOf(error), status }; break; }
        out.result = data;
        break;
      }
      case 'rpc': {
        const { data, error, status } = await client.rpc(step.fn, step.params ?? {});
        if (error) { out.error = { ...errorOf(error), status }; break; }
        out.result = data;
        break;
      }
      case 'subscribe': {
        const filter = { event: step.event ?? '*', schema: 'public', table: step.table };
        if (step.filter) filter.filter = step.filter;
        channel = client.channel(`peer-${Date.now()}`)
          .on('postgres_changes', filter, (payload) => {
            received.push({ type: payload.eventType, record: payload.new, receivedAt: performance.timeOrigin + performance.now() });
            if (wake) wake();
          });
        const status = await new Promise((resolve) => {
          channel.subscribe((s, err) => {
            if (s === 'SUBSCRIBED') resolve(s);
            else if (s === 'CHANNEL_ERROR' || s === 'TIMED_OUT') resolve(`${s}${err ? ': ' + err.message : ''}`);
          });
        });
        out.result = status;
        break;
      }
      case 'changes': {
        const deadline = Date.now() + (step.timeoutMs ?? 5000);
        while (received.length < step.count && Date.now() < deadline) {
          await new Promise((resolve) => { wake = resolve; setTimeout(resolve, 50); });
        }
        out.result = received.splice(0, step.count).map(({ type, record }) => ({ type, record }));
        break;
      }
      case 'watch': {
        print({ step: index, op: 'watch', result: 'watching' });
        const ended = new Promise((resolve) => process.stdin.on('end', resolve).resume());
        const flush = () => {
          for (const change of received.splice(0)) {
            print({ op: 'change', id: change.record.id, receivedAt: change.receivedAt });
          }
        };
        while (true) {
          const next = new Promise((resolve) => { wake = resolve; });
          const which = await Promise.race([next.then(() => 'change'), ended.then(() => 'end')]);
          flush();
          if (which === 'end') break;
        }
        continue;
      }
      case 'signOut': {
        const { error } = await client.auth.signOut({ scope: 'local' });
        out.result = error ? errorOf(error) : 'signedOut';
        break;
      }
      default:
        out.error = { message: `unknown step ${step.op}` };
    }
  } catch (e) {
    out.error = errorOf(e);
  }
  print(out);
}

if (channel) await client.removeChannel(channel);
process.exit(0);
