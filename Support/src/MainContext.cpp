#include <Support/MainContext.h>

#include <algorithm>

namespace ostral::support {

ThreadDefaultContext::ThreadDefaultContext()
    : context_(g_main_context_new(), kAdopt) {
    g_main_context_push_thread_default(context_.get());
}

ThreadDefaultContext::~ThreadDefaultContext() {
    g_main_context_pop_thread_default(context_.get());
}

bool iterateUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    limit = std::clamp<std::chrono::milliseconds>(limit, std::chrono::milliseconds(0),
                                                  std::chrono::hours(24));
    GMainContextPtr context(g_main_context_ref_thread_default(), kAdopt);
    const gint64 deadline = g_get_monotonic_time() + limit.count() * 1000;

    // The blocking iteration below only returns when some source dispatches; this one makes
    // sure that happens at the deadline even when nothing else is going on.
    GSourcePtr wakeUp(g_timeout_source_new(static_cast<guint>(limit.count())), kAdopt);
    g_source_set_callback(
        wakeUp.get(), [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(wakeUp.get(), context.get());

    bool held = condition();
    while (!held && g_get_monotonic_time() < deadline) {
        g_main_context_iteration(context.get(), TRUE);
        held = condition();
    }
    destroySource(wakeUp);
    return held;
}

int runPending(int maxIterations) {
    GMainContextPtr context(g_main_context_ref_thread_default(), kAdopt);
    int rounds = 0;
    while (rounds < maxIterations && g_main_context_iteration(context.get(), FALSE)) {
        ++rounds;
    }
    return rounds;
}

void destroySource(GSourcePtr& source) noexcept {
    if (source) {
        g_source_destroy(source.get());
        source.reset();
    }
}

} // namespace ostral::support
