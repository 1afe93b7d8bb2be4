#include "RestQuery.h"

#include <gtest/gtest.h>

namespace ostral::devstack {
namespace {

TEST(RestQuery, QueryStringIsDecodedInOrder) {
    struct Case {
        const char* raw;
        QueryParams expected;
    };
    const Case cases[] = {
        {"", {}},
        {"a=1&b=2", {{"a", "1"}, {"b", "2"}}},
        {"id=gte.1&id=lte.5", {{"id", "gte.1"}, {"id", "lte.5"}}},
        {"name=eq.a+b%20c", {{"name", "eq.a b c"}}},
        {"x=%zz%4", {{"x", "%zz%4"}}},
        {"%73elect=%2A", {{"select", "*"}}},
        {"&&flag&k=", {{"flag", ""}, {"k", ""}}},
        {"v=a=b", {{"v", "a=b"}}},
        {"n=%00", {{"n", std::string(1, '\0')}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseQueryString(c.raw), c.expected) << c.raw;
    }
}

TEST(RestQuery, FiltersParse) {
    struct Case {
        const char* value;
        FilterOperator op;
        bool negated;
        std::vector<std::string> values;
    };
    const Case cases[] = {
        {"eq.42", FilterOperator::eq, false, {"42"}},
        {"eq.", FilterOperator::eq, false, {""}},
        {"eq.a.b.c", FilterOperator::eq, false, {"a.b.c"}},
        {"neq.x", FilterOperator::neq, false, {"x"}},
        {"not.eq.x", FilterOperator::eq, true, {"x"}},
        {"gte.2024-01-01T00:00:00+00:00",
         FilterOperator::gte,
         false,
         {"2024-01-01T00:00:00+00:00"}},
        {"lt.5", FilterOperator::lt, false, {"5"}},
        {"is.NULL", FilterOperator::is, false, {"null"}},
        {"not.is.null", FilterOperator::is, true, {"null"}},
        {"is.true", FilterOperator::is, false, {"true"}},
        {"in.(1,2,3)", FilterOperator::in, false, {"1", "2", "3"}},
        {"in.()", FilterOperator::in, false, {}},
        {R"(in.("a,b","c\"d",e))", FilterOperator::in, false, {"a,b", "c\"d", "e"}},
        {"in.(,)", FilterOperator::in, false, {"", ""}},
        {"like.*abc*", FilterOperator::like, false, {"%abc%"}},
        {"eq.'; DROP TABLE x; --", FilterOperator::eq, false, {"'; DROP TABLE x; --"}},
    };
    for (const auto& c : cases) {
        const auto filter = parseFilter("col", c.value);
        ASSERT_TRUE(filter) << c.value << ": " << filter.error().message;
        EXPECT_EQ(filter->column, "col");
        EXPECT_EQ(filter->op, c.op) << c.value;
        EXPECT_EQ(filter->negated, c.negated) << c.value;
        EXPECT_EQ(filter->values, c.values) << c.value;
    }
}

TEST(RestQuery, MalformedFiltersFailWithPostgrestMessages) {
    const char* cases[] = {"42",         "eqx.1",       "not.42",   "in.1,2",   "in.(1,2",
                           "in.(\"a,b)", "in.(\"a\"b)", "in.(a(b)", "is.maybe", "",
                           "not.",       "EQ.1",        "cs.{1}"};
    for (const char* value : cases) {
        const auto filter = parseFilter("col", value);
        ASSERT_FALSE(filter) << value;
        EXPECT_EQ(filter.error().message.rfind(
                      std::string("\"failed to parse filter (") + value + ")\"", 0),
                  0u)
            << filter.error().message;
    }
}

TEST(RestQuery, SelectListsParse) {
    struct Case {
        const char* text;
        std::vector<std::tuple<std::string, std::optional<std::string>, std::optional<std::string>>>
            items;
    };
    const Case cases[] = {
        {"*", {{"*", std::nullopt, std::nullopt}}},
        {"", {{"*", std::nullopt, std::nullopt}}},
        {"id,name", {{"id", std::nullopt, std::nullopt}, {"name", std::nullopt, std::nullopt}}},
        {"label:name", {{"name", "label", std::nullopt}}},
        {"id::text", {{"id", std::nullopt, "text"}}},
        {"n:id::int8", {{"id", "n", "int8"}}},
        {R"("we,ird""name")", {{"we,ird\"name", std::nullopt, std::nullopt}}},
        {"a;drop", {{"a;drop", std::nullopt, std::nullopt}}},
        {" id , *", {{"id", std::nullopt, std::nullopt}, {"*", std::nullopt, std::nullopt}}},
    };
    for (const auto& c : cases) {
        const auto items = parseSelect(c.text);
        ASSERT_TRUE(items) << c.text << ": " << items.error().message;
        ASSERT_EQ(items->size(), c.items.size()) << c.text;
        for (std::size_t i = 0; i < c.items.size(); ++i) {
            EXPECT_EQ((*items)[i].column, std::get<0>(c.items[i])) << c.text;
            EXPECT_EQ((*items)[i].alias, std::get<1>(c.items[i])) << c.text;
            EXPECT_EQ((*items)[i].cast, std::get<2>(c.items[i])) << c.text;
        }
    }
    for (const char* bad : {"a,,b", "a,", "other(*)", "a b", "id::", "id::te xt", "\"open", "a->b",
                            "a:", "id::text;drop"}) {
        const auto items = parseSelect(bad);
        ASSERT_FALSE(items) << bad;
        EXPECT_EQ(items.error().message.rfind("\"failed to parse select parameter (", 0), 0u);
    }
}

TEST(RestQuery, OrderAndColumnListsParse) {
    const auto order = parseOrder("created_at.desc.nullslast,id");
    ASSERT_TRUE(order);
    ASSERT_EQ(order->size(), 2u);
    EXPECT_EQ((*order)[0].column, "created_at");
    EXPECT_TRUE((*order)[0].descending);
    EXPECT_EQ((*order)[0].nullsFirst, false);
    EXPECT_EQ((*order)[1].column, "id");
    EXPECT_FALSE((*order)[1].descending);
    EXPECT_FALSE((*order)[1].nullsFirst);
    for (const char* bad : {"", "id.sideways", "id.", ",id", "id desc"}) {
        EXPECT_FALSE(parseOrder(bad)) << bad;
    }

    const auto columns = parseColumnList("user_id, client,\"odd name\"");
    ASSERT_TRUE(columns);
    EXPECT_EQ(*columns, (std::vector<std::string>{"user_id", "client", "odd name"}));
    for (const char* bad : {"", "a,,b", "a b", "a)"}) {
        EXPECT_FALSE(parseColumnList(bad)) << bad;
    }
}

TEST(RestQuery, CountsAreNonNegativeAndBounded) {
    EXPECT_EQ(parseCount("0"), 0);
    EXPECT_EQ(parseCount("25"), 25);
    EXPECT_EQ(parseCount("999999999999999999"), 999999999999999999);
    for (const char* bad : {"", "-1", "+1", "1.5", "1e3", "9999999999999999999", " 1"}) {
        EXPECT_FALSE(parseCount(bad)) << bad;
    }
}

TEST(RestQuery, TableQuerySeparatesReservedNamesFromFilters) {
    const auto query = parseTableQuery(parseQueryString(
        "select=id,name&user_id=eq.7&order=id.desc&limit=10&offset=5&on_conflict=user_id,client"
        "&apikey=k&ended_at=is.null"));
    ASSERT_TRUE(query) << query.error().message;
    ASSERT_TRUE(query->select);
    EXPECT_EQ(query->select->size(), 2u);
    ASSERT_EQ(query->filters.size(), 2u);
    EXPECT_EQ(query->filters[0].column, "user_id");
    EXPECT_EQ(query->filters[1].column, "ended_at");
    EXPECT_EQ(query->limit, 10);
    EXPECT_EQ(query->offset, 5);
    EXPECT_EQ(query->onConflict, (std::vector<std::string>{"user_id", "client"}));

    for (const char* bad : {"limit=-1", "offset=x", "select=a,,b", "id=eqx.1", "order=id.up",
                            "id=eq.a%00b", "i%00d=eq.1"}) {
        const auto failed = parseTableQuery(parseQueryString(bad));
        EXPECT_FALSE(failed) << bad;
    }
}

TEST(RestQuery, PreferencesParse) {
    struct Case {
        std::vector<std::string> headers;
        std::optional<ReturnPreference> returning;
        ResolutionPreference resolution;
        bool countExact;
    };
    const Case cases[] = {
        {{}, std::nullopt, ResolutionPreference::none, false},
        {{"return=minimal"}, ReturnPreference::minimal, ResolutionPreference::none, false},
        {{"return=representation, resolution=merge-duplicates"},
         ReturnPreference::representation,
         ResolutionPreference::mergeDuplicates,
         false},
        {{"resolution=ignore-duplicates", "return=representation,count=exact"},
         ReturnPreference::representation,
         ResolutionPreference::ignoreDuplicates,
         true},
        {{"return=everything", "tx=rollback", "=", ",,", "resolution"},
         std::nullopt,
         ResolutionPreference::none,
         false},
        {{" return = headers-only "},
         ReturnPreference::headersOnly,
         ResolutionPreference::none,
         false},
    };
    for (const auto& c : cases) {
        const auto preferences = parsePreferences(c.headers);
        EXPECT_EQ(preferences.returning, c.returning);
        EXPECT_EQ(preferences.resolution, c.resolution);
        EXPECT_EQ(preferences.countExact, c.countExact);
    }
}

TEST(RestQuery, IdentifiersAreQuotedWholly) {
    EXPECT_EQ(quoteIdentifier("id"), "\"id\"");
    EXPECT_EQ(quoteIdentifier("a\"b"), "\"a\"\"b\"");
    EXPECT_EQ(quoteIdentifier("x\"; DROP TABLE t; --"), "\"x\"\"; DROP TABLE t; --\"");
}

} // namespace
} // namespace ostral::devstack
