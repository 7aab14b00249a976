// Reading a table's records as views into its text, and grouping its rows by study.
#include "estimation/input/row_index.hpp"
#include "estimation/input/table_file.hpp"
#include "estimation/input/table_records.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace morvex {
namespace {

std::vector<std::string> strings(const std::vector<std::string_view>& fields) {
    return {fields.begin(), fields.end()};
}

// Fields with doubled quotes are undoubled into copies; the copies of one
// record outgrow their first buffer, so every view is checked after the last.
TEST(RecordReader, GivesViewsAndUndoubledCopiesOfQuotedFields) {
    const std::string long_quoted = "\"" + std::string(100, 'z') + "\"\"end\"";
    const std::string text = "a,\"x\"\"y\",\"two\nlines\"," + long_quoted +
                             ",\"\"\"\"\r\n"
                             "\"plain\",,\"\"\r"
                             "last";
    record_reader in(text, ',', 0, 1);
    std::vector<std::string_view> fields;
    in.next(fields);
    EXPECT_EQ(strings(fields), (std::vector<std::string>{"a", "x\"y", "two\nlines",
                                                         std::string(100, 'z') + "\"end", "\""}));
    const std::vector<bool> copies{false, true, false, true, true};
    for (std::size_t k = 0; k < fields.size(); ++k) {
        EXPECT_EQ(in.is_copy(fields[k]), copies[k]) << k;
    }
    EXPECT_EQ(in.line(), 3); // the quoted line break counts
    in.next(fields);
    EXPECT_EQ(strings(fields), (std::vector<std::string>{"plain", "", ""}));
    EXPECT_FALSE(in.is_copy(fields[0]));
    EXPECT_EQ(in.line(), 4);
    in.next(fields);
    EXPECT_EQ(strings(fields), std::vector<std::string>{"last"});
    EXPECT_TRUE(in.at_end());
}

// Studies in order of first appearance, each with its rows in the order of the
// text; enough ids to grow the lookup several times, and copied ids that
// outlive the text they came from.
TEST(RowIndex, GroupsRowsByIdInOrderOfFirstAppearance) {
    row_index index;
    std::vector<std::string> ids;
    for (int k = 0; k < 1000; ++k) {
        ids.push_back("study-" + std::to_string(k * 7919 % 1000));
    }
    for (int pass = 0; pass < 3; ++pass) {
        for (int k = pass; k < 1000; k += 1 + pass) {
            std::string transient = ids[static_cast<std::size_t>(k)];
            index.add(transient, true, static_cast<std::size_t>(pass * 1000 + k), k + 2);
            transient.assign(transient.size(), '#');
        }
    }
    index.done();
    ASSERT_EQ(index.study_count(), 1000U);
    for (std::size_t k = 0; k < 1000; ++k) {
        EXPECT_EQ(index.id(k), ids[k]);
        std::vector<std::uint32_t> offsets;
        for (std::uint32_t r = index.first(k); r != row_index::none; r = index.at(r).next) {
            offsets.push_back(index.at(r).offset);
            EXPECT_EQ(index.at(r).line, k + 2);
        }
        std::vector<std::uint32_t> expected{static_cast<std::uint32_t>(k)};
        for (std::size_t pass = 1; pass < 3; ++pass) {
            if (k >= pass && (k - pass) % (1 + pass) == 0) {
                expected.push_back(static_cast<std::uint32_t>(pass * 1000 + k));
            }
        }
        EXPECT_EQ(offsets, expected) << k;
        EXPECT_EQ(index.row_count(k), expected.size());
    }
    // Rows one after another of the same study, and a study coming back.
    row_index runs;
    const std::string text = "aabbacc";
    for (std::size_t k = 0; k < text.size(); ++k) {
        runs.add(std::string_view(text).substr(k, 1), false, k, 1);
    }
    std::string order;
    for (std::size_t k = 0; k < runs.study_count(); ++k) {
        order += std::string(runs.id(k)) + ':';
        for (std::uint32_t r = runs.first(k); r != row_index::none; r = runs.at(r).next) {
            order += std::to_string(runs.at(r).offset);
        }
        order += ' ';
    }
    EXPECT_EQ(order, "a:014 b:23 c:56 ");
}

// An id with a doubled quote is one study wherever its rows stand, and keeps
// its quote; ids that differ only in spaces around them are one study.
TEST(TableFile, GroupsQuotedAndTrimmedIds) {
    const std::string text = "id,type,dose,cases,n,rr,lb,ub\n"
                             "\"a\"\"b\",ci,0,10,100,1,,\n"
                             " plain ,ci,0,10,100,1,,\n"
                             "\"a\"\"b\",ci,2,12,100,1.2,1,1.5\n"
                             "plain,ci,2,12,100,1.2,1,1.5\n"
                             "\"a\"\"b\",ci,4,14,100,1.4,1.1,1.8\n";
    const table_file table(text, false);
    ASSERT_EQ(table.study_count(), 2U);
    const table_study quoted = table.read(0), plain = table.read(1);
    EXPECT_EQ(quoted.id, "a\"b");
    EXPECT_EQ(plain.id, "plain");
    ASSERT_TRUE(quoted.data && plain.data) << quoted.message << plain.message;
    EXPECT_EQ(std::make_tuple(quoted.first_line, quoted.data->n, plain.first_line, plain.data->n),
              std::make_tuple(2, 2, 3, 1));
}

} // namespace
} // namespace morvex
