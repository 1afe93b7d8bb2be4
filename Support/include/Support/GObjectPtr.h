#pragma once

#include <gio/gio.h>

#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace ostral::support {

// Say whether a raw pointer handed to an owner already carries a reference that the owner takes
// over (`kAdopt`: what a C function documented as "transfer full" returns) or whether the owner
// must add a reference of its own (`kRetain`: "transfer none", the caller keeps its reference).
struct AdoptTag {
    explicit AdoptTag() = default;
};
struct RetainTag {
    explicit RetainTag() = default;
};
inline constexpr AdoptTag kAdopt{};
inline constexpr RetainTag kRetain{};

// Owner of one reference to a reference-counted C object. Copying adds a reference, moving
// transfers it, destruction drops it. `Traits` supplies ref, unref and adopt (adopt turns what a
// "transfer full" function returned into an owned reference; for most types it does nothing).
//
// Rules: never hand a raw pointer without saying kAdopt or kRetain; release() gives the
// reference back to the caller, who must drop it; get() never changes the count.
template <typename T, typename Traits>
class RefPtr {
public:
    RefPtr() noexcept = default;
    RefPtr(std::nullptr_t) noexcept {}
    RefPtr(T* pointer, AdoptTag) noexcept
        : pointer_(pointer ? Traits::adopt(pointer) : nullptr) {}
    RefPtr(T* pointer, RetainTag) noexcept
        : pointer_(pointer ? Traits::ref(pointer) : nullptr) {}
    RefPtr(const RefPtr& other) noexcept
        : pointer_(other.pointer_ ? Traits::ref(other.pointer_) : nullptr) {}
    RefPtr(RefPtr&& other) noexcept
        : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ~RefPtr() { reset(); }

    RefPtr& operator=(RefPtr other) noexcept {
        swap(other);
        return *this;
    }

    T* get() const noexcept { return pointer_; }
    T* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

    // Gives up ownership without dropping the reference.
    [[nodiscard]] T* release() noexcept { return std::exchange(pointer_, nullptr); }

    // The old reference is dropped after the new pointer is in place, so code that runs during
    // the unref (a finalizer, a weak-ref notify) never sees a half-replaced owner.
    void reset() noexcept {
        if (T* old = std::exchange(pointer_, nullptr)) {
            Traits::unref(old);
        }
    }
    void reset(T* pointer, AdoptTag tag) noexcept { RefPtr(pointer, tag).swap(*this); }
    void reset(T* pointer, RetainTag tag) noexcept { RefPtr(pointer, tag).swap(*this); }

    void swap(RefPtr& other) noexcept { std::swap(pointer_, other.pointer_); }

    friend bool operator==(const RefPtr& a, const RefPtr& b) noexcept {
        return a.pointer_ == b.pointer_;
    }
    friend bool operator==(const RefPtr& a, std::nullptr_t) noexcept {
        return a.pointer_ == nullptr;
    }

private:
    T* pointer_ = nullptr;
};

struct GObjectTraits {
    template <typename T>
    static T* ref(T* object) {
        return static_cast<T*>(g_object_ref(object));
    }
    template <typename T>
    static void unref(T* object) {
        g_object_unref(object);
    }
    template <typename T>
    static T* adopt(T* object) {
        return object;
    }
};

// Owner of a GObject instance (GFile, GCancellable, GAsyncResult, ...). Floating references of
// GInitiallyUnowned types are not sunk: adopt only what the API documents as "transfer full".
template <typename T>
using GObjectPtr = RefPtr<T, GObjectTraits>;

// Deducing shorthands: `auto file = adoptGObject(g_file_new_for_path(path));`.
template <typename T>
GObjectPtr<T> adoptGObject(T* object) {
    return GObjectPtr<T>(object, kAdopt);
}
template <typename T>
GObjectPtr<T> retainGObject(T* object) {
    return GObjectPtr<T>(object, kRetain);
}

// GVariant follows GLib's floating convention: adopting sinks a floating variant (so
// `GVariantPtr(g_variant_new_string("x"), kAdopt)` owns it) and keeps a full reference as it is;
// retaining sinks a floating variant too, which is what GLib containers do with arguments.
struct GVariantTraits {
    static GVariant* ref(GVariant* value) { return g_variant_ref_sink(value); }
    static void unref(GVariant* value) { g_variant_unref(value); }
    static GVariant* adopt(GVariant* value) { return g_variant_take_ref(value); }
};
using GVariantPtr = RefPtr<GVariant, GVariantTraits>;

// Traits of a reference-counted GLib type without a floating state, given its ref and unref
// functions: what a "transfer full" function returns is already the owner's reference.
template <typename T, T* (*Ref)(T*), void (*Unref)(T*)>
struct GLibRefTraits {
    static T* ref(T* pointer) { return Ref(pointer); }
    static void unref(T* pointer) { Unref(pointer); }
    static T* adopt(T* pointer) { return pointer; }
};

// Owns a reference to a GSource. Dropping the last reference does not detach an attached
// source from its context; call g_source_destroy() for that (see MainContext.h).
using GSourcePtr = RefPtr<GSource, GLibRefTraits<GSource, g_source_ref, g_source_unref>>;
using GMainContextPtr =
    RefPtr<GMainContext, GLibRefTraits<GMainContext, g_main_context_ref, g_main_context_unref>>;
using GMainLoopPtr =
    RefPtr<GMainLoop, GLibRefTraits<GMainLoop, g_main_loop_ref, g_main_loop_unref>>;
using GBytesPtr = RefPtr<GBytes, GLibRefTraits<GBytes, g_bytes_ref, g_bytes_unref>>;

// Sole owner of a C value that is freed, not reference counted (GError, g_malloc'd text).
// Move-only. out() hands the address to a C function that fills it in ("GError** error").
template <typename T, typename Free>
class UniqueCPtr {
public:
    UniqueCPtr() noexcept = default;
    UniqueCPtr(std::nullptr_t) noexcept {}
    explicit UniqueCPtr(T* pointer) noexcept
        : pointer_(pointer) {}
    UniqueCPtr(UniqueCPtr&& other) noexcept
        : pointer_(std::exchange(other.pointer_, nullptr)) {}
    UniqueCPtr& operator=(UniqueCPtr&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueCPtr(const UniqueCPtr&) = delete;
    UniqueCPtr& operator=(const UniqueCPtr&) = delete;
    ~UniqueCPtr() { reset(); }

    T* get() const noexcept { return pointer_; }
    T* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

    [[nodiscard]] T* release() noexcept { return std::exchange(pointer_, nullptr); }
    void reset(T* pointer = nullptr) noexcept {
        if (T* old = std::exchange(pointer_, pointer)) {
            Free{}(old);
        }
    }

    // Frees any held value first, so a reused GErrorPtr never trips GLib's "GError set over
    // the top of a previous GError" warning.
    T** out() noexcept {
        reset();
        return &pointer_;
    }

    // The text of a g_free'd string; empty when there is none.
    std::string_view view() const noexcept requires std::same_as<T, char> {
        return pointer_ ? std::string_view(pointer_) : std::string_view();
    }

private:
    T* pointer_ = nullptr;
};

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct GFree {
    void operator()(void* memory) const { g_free(memory); }
};

using GErrorPtr = UniqueCPtr<GError, GErrorFree>;
using GCharPtr = UniqueCPtr<char, GFree>;

// The message of an error for a log line or a user-facing text; "unknown error" when absent.
inline std::string errorMessage(const GError* error) {
    return error && error->message ? std::string(error->message) : std::string("unknown error");
}
inline std::string errorMessage(const GErrorPtr& error) {
    return errorMessage(error.get());
}

} // namespace ostral::support
