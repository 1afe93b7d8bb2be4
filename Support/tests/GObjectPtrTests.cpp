#include <Support/GObjectPtr.h>

#include <gtest/gtest.h>

namespace ostral::support {
namespace {

guint refCount(gpointer object) {
    return G_OBJECT(object)->ref_count;
}

TEST(GObjectPtr, AdoptTakesTheReferenceAndRetainAddsOne) {
    GObject* raw = G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr));
    {
        GObjectPtr<GObject> adopted(raw, kAdopt);
        EXPECT_EQ(refCount(raw), 1u);
        {
            GObjectPtr<GObject> retained(raw, kRetain);
            EXPECT_EQ(refCount(raw), 2u);
            GObjectPtr<GObject> copy = retained;
            EXPECT_EQ(refCount(raw), 3u);
            GObjectPtr<GObject> moved = std::move(copy);
            EXPECT_EQ(refCount(raw), 3u);
            EXPECT_FALSE(copy); // NOLINT(bugprone-use-after-move): a moved-from pointer is empty
            EXPECT_EQ(moved.get(), raw);
        }
        EXPECT_EQ(refCount(raw), 1u);
        g_object_ref(raw);
    }
    EXPECT_EQ(refCount(raw), 1u);
    g_object_unref(raw);
}

TEST(GObjectPtr, ReleaseResetAndSelfAssignment) {
    auto owner = adoptGObject(G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr)));
    GObject* raw = owner.get();

    auto& alias = owner;
    owner = alias;
    EXPECT_EQ(owner.get(), raw);
    EXPECT_EQ(refCount(raw), 1u);

    GObject* released = owner.release();
    EXPECT_EQ(released, raw);
    EXPECT_FALSE(owner);
    EXPECT_EQ(refCount(raw), 1u);

    owner.reset(released, kAdopt);
    EXPECT_EQ(refCount(raw), 1u);
    bool finalized = false;
    g_object_weak_ref(
        raw, [](gpointer flag, GObject*) { *static_cast<bool*>(flag) = true; }, &finalized);
    owner.reset();
    EXPECT_TRUE(finalized);
    EXPECT_TRUE(owner == nullptr);
}

TEST(GVariantPtr, AdoptingSinksAFloatingVariantAndKeepsAFullOne) {
    GVariantPtr floating(g_variant_new_string("x"), kAdopt);
    EXPECT_FALSE(g_variant_is_floating(floating.get()));

    GVariant* full = g_variant_ref_sink(g_variant_new_int32(7));
    GVariantPtr adopted(full, kAdopt);
    EXPECT_EQ(adopted.get(), full);
    EXPECT_EQ(g_variant_get_int32(adopted.get()), 7);
}

TEST(GErrorPtr, OutFreesAnEarlierErrorAndMessageReadsIt) {
    GErrorPtr error;
    EXPECT_EQ(errorMessage(error), "unknown error");
    g_set_error_literal(error.out(), G_IO_ERROR, G_IO_ERROR_FAILED, "first");
    g_set_error_literal(error.out(), G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "second");
    ASSERT_TRUE(error);
    EXPECT_TRUE(g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_NOT_FOUND));
    EXPECT_EQ(errorMessage(error), "second");
}

TEST(GCharPtr, ViewsTheTextAndAnEmptyOne) {
    GCharPtr text(g_strdup_printf("%d-%s", 4, "four"));
    EXPECT_EQ(text.view(), "4-four");
    GCharPtr none;
    EXPECT_EQ(none.view(), "");
}

} // namespace
} // namespace ostral::support
