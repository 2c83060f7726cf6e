#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "korvalite/genicam/name_index.hpp"

using korvalite::genicam::NameIndex;
using korvalite::genicam::NodeId;

namespace {

// "Node0" ... "Node<n-1>", long enough names in between so that text blocks fill up too.
std::vector<std::string> many_names(std::size_t n) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < n; ++i)
        names.push_back(i % 7 == 0 ? std::string(3000, 'x') + std::to_string(i) : "Node" + std::to_string(i));
    return names;
}

void expect_maps_all(const NameIndex& index, const std::vector<std::string>& names) {
    ASSERT_EQ(index.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto it = index.find(names[i]);
        ASSERT_NE(it, index.end()) << names[i];
        EXPECT_EQ(it->first, names[i]);
        EXPECT_EQ(it->second, i);
    }
}

}  // namespace

TEST(NameIndex, FindsExactNamesOnlyAndLaterInsertsWin) {
    NameIndex index;
    EXPECT_EQ(index.find("A"), index.end());
    index.insert_or_assign("Gain", 0);
    index.insert_or_assign("", 1);
    index.insert_or_assign("GainRaw", 2);
    index.insert_or_assign("Gain", 3);
    EXPECT_EQ(index.size(), 3u);
    struct Case {
        const char* name;
        bool found;
        NodeId id;
    };
    for (const Case& c : {Case{"Gain", true, 3}, Case{"", true, 1}, Case{"GainRaw", true, 2}, Case{"gain", false, 0},
                          Case{"Gai", false, 0}, Case{"Gain ", false, 0}}) {
        auto it = index.find(c.name);
        EXPECT_EQ(it != index.end(), c.found) << '"' << c.name << '"';
        if (it != index.end()) {
            EXPECT_EQ(it->second, c.id) << c.name;
        }
    }
    // Entries keep the order in which their names first appeared.
    std::vector<std::string> order;
    for (const auto& [name, id] : index) order.emplace_back(name);
    EXPECT_EQ(order, (std::vector<std::string>{"Gain", "", "GainRaw"}));
}

TEST(NameIndex, GrowsBeyondItsReservationAndOwnsItsNames) {
    const auto names = many_names(3000);
    NameIndex index;
    index.reserve(10, 64);
    {
        // The index keeps its own copies: the caller's texts are gone before the lookups.
        std::vector<std::string> copies = names;
        for (std::size_t i = 0; i < copies.size(); ++i) index.insert_or_assign(copies[i], static_cast<NodeId>(i));
    }
    expect_maps_all(index, names);
}

TEST(NameIndex, CopiesAndMovesStayIndependent) {
    const auto names = many_names(100);
    auto original = std::make_unique<NameIndex>();
    for (std::size_t i = 0; i < names.size(); ++i) original->insert_or_assign(names[i], static_cast<NodeId>(i));

    NameIndex copy = *original;
    NameIndex assigned;
    assigned.insert_or_assign("Stale", 7);
    assigned = *original;
    original->insert_or_assign("OnlyInOriginal", 1000);
    NameIndex moved = std::move(*original);
    original.reset();

    expect_maps_all(copy, names);
    expect_maps_all(assigned, names);
    EXPECT_FALSE(assigned.contains("Stale"));
    EXPECT_FALSE(copy.contains("OnlyInOriginal"));
    EXPECT_EQ(moved.size(), names.size() + 1);
    EXPECT_TRUE(moved.contains("OnlyInOriginal"));

    // A moved-from index is empty and usable again.
    NameIndex source;
    source.insert_or_assign("A", 1);
    NameIndex target = std::move(source);
    source.insert_or_assign("B", 2);
    EXPECT_EQ(source.size(), 1u);
    EXPECT_FALSE(source.contains("A"));
    EXPECT_EQ(target.find("A")->second, 1u);
    EXPECT_FALSE(target.contains("B"));
}
