#include "bench/synthetic_study.hpp"
#include "estimation/app/run.hpp"
#include "estimation/base/in_order.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using morvex::in_order;

struct number_batch {
    std::size_t first = 0, end = 0, made = 0;
    std::vector<std::size_t> squares;
};

struct order_case {
    std::size_t items;
    std::size_t per_batch;
    unsigned workers;
    std::size_t fail_make_at; // the item whose making throws; items for none
    std::size_t fail_take_at; // the batch whose taking throws; items for none
};

// Items are made on the workers and must be taken in order, each once; a
// failure must leave everything before it taken and nothing after.
TEST(InOrder, TakesEveryBatchInOrderAndStopsAtTheFirstFailure) {
    const order_case cases[] = {
        {0, 4, 0, 99, 99},        {0, 4, 3, 99, 99},        {1, 4, 2, 99, 99},
        {10, 4, 0, 99, 99},       {10, 4, 1, 99, 99},       {10, 4, 2, 99, 99},
        {1000, 7, 5, 9999, 9999}, {1000, 1, 3, 9999, 9999}, {100, 8, 3, 37, 999},
        {100, 8, 0, 37, 999},     {100, 8, 2, 0, 999},      {100, 8, 4, 99, 999},
        {100, 8, 3, 999, 5},      {100, 8, 0, 999, 5},
    };
    for (const order_case& c : cases) {
        SCOPED_TRACE("items " + std::to_string(c.items) + ", workers " + std::to_string(c.workers) +
                     ", make fails at " + std::to_string(c.fail_make_at) + ", take at " +
                     std::to_string(c.fail_take_at));
        std::vector<number_batch> slots(c.workers == 0 ? 1 : 2 * c.workers);
        std::vector<std::size_t> taken;
        std::size_t batches_taken = 0;
        std::size_t next = 0;
        const auto cut = [&](number_batch& b) {
            if (next == c.items) {
                return false;
            }
            b.first = next;
            next = std::min(c.items, next + c.per_batch);
            b.end = next;
            return true;
        };
        const auto make = [&](number_batch& b, unsigned worker) {
            EXPECT_LT(worker, std::max(c.workers, 1U));
            b.made = 0;
            b.squares.clear();
            for (std::size_t k = b.first; k < b.end; ++k) {
                if (k == c.fail_make_at) {
                    throw std::runtime_error("make");
                }
                b.squares.push_back(k * k);
                ++b.made;
            }
        };
        const auto take = [&](number_batch& b) {
            if (batches_taken++ == c.fail_take_at) {
                throw std::runtime_error("take");
            }
            for (std::size_t j = 0; j < b.made; ++j) {
                taken.push_back(b.squares[j]);
            }
        };
        std::string failure;
        try {
            in_order(slots, c.workers, cut, make, take);
        } catch (const std::runtime_error& e) {
            failure = e.what();
        }
        std::size_t expected = c.items;
        if (c.fail_take_at * c.per_batch < c.items) {
            expected = c.fail_take_at * c.per_batch;
            EXPECT_EQ(failure, "take");
        }
        if (c.fail_make_at < expected) {
            expected = c.fail_make_at;
            EXPECT_EQ(failure, "make");
        }
        if (expected == c.items) {
            EXPECT_EQ(failure, "");
        }
        ASSERT_EQ(taken.size(), expected);
        for (std::size_t k = 0; k < taken.size(); ++k) {
            ASSERT_EQ(taken[k], k * k);
        }
    }
}

// The end-to-end case of many studies of every kind: complete, refused,
// warned, rows apart, and a refused one of 261 rows (a batch of its own), so
// that the batches differ in size and most hold messages for standard error.
std::string many_studies() {
    std::ifstream in(CASES_FOLDER "/many-studies.csv", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct run_output {
    std::string out, err, both;
    std::string summary;
    int status = 0;
};

// The table's first rows: a second, smaller table that continues the output.
std::string first_rows(const std::string& table, int rows) {
    std::size_t end = 0;
    for (int k = 0; k <= rows && end != std::string::npos; ++k) {
        end = table.find('\n', end + 1);
    }
    return table.substr(0, end + 1);
}

run_output run_table(const std::string& table, morvex::output_format format, bool pool,
                     unsigned threads) {
    run_output o;
    const std::string again = first_rows(table, 60);
    morvex::after_studies after;
    after.pool = pool;
    after.summary = pool;
    {
        std::ostringstream out, err;
        morvex::session s(format, false, out, err, after, {}, threads);
        s.add_table_text("many.csv", table);
        s.add_table_text("again.csv", again);
        o.status = s.finish();
        o.out = out.str();
        o.err = err.str();
        o.summary = s.summary();
    }
    // Standard output and error into one stream show how they interleave.
    std::ostringstream both;
    morvex::session s(format, false, both, both, after, {}, threads);
    s.add_table_text("many.csv", table);
    s.add_table_text("again.csv", again);
    s.finish();
    o.both = both.str();
    return o;
}

// Threads change nothing a run writes, nor where its messages fall between
// the studies' output.
TEST(Threads, GiveTheSameOutputAsOneThread) {
    const std::string table = many_studies();
    ASSERT_GT(table.size(), 30000U);
    for (const morvex::output_format format :
         {morvex::output_format::text, morvex::output_format::csv, morvex::output_format::json}) {
        for (const bool pool : {false, true}) {
            const run_output one = run_table(table, format, pool, 1);
            ASSERT_NE(one.err.find("warning"), std::string::npos);
            ASSERT_NE(one.err.find("typo"), std::string::npos);
            ASSERT_NE(one.out.find("large"), std::string::npos);
            ASSERT_NE(one.out.find("forty"), std::string::npos);
            EXPECT_EQ(one.status, morvex::exit_partial);
            for (const unsigned threads : {2U, 5U}) {
                SCOPED_TRACE("format " + std::to_string(static_cast<int>(format)) + ", pool " +
                             std::to_string(pool) + ", threads " + std::to_string(threads));
                const run_output many = run_table(table, format, pool, threads);
                EXPECT_EQ(many.status, one.status);
                EXPECT_TRUE(many.out == one.out);
                EXPECT_TRUE(many.err == one.err);
                EXPECT_TRUE(many.both == one.both);
                EXPECT_TRUE(many.summary == one.summary);
            }
        }
    }
}

// A run of many batches, several for each slot: the workers take the batches
// as they come free, so a slot is made by one worker after another, and
// nothing a worker keeps may share a use count with what it handed over
// (ThreadSanitizer runs this in CI). The output is one thread's.
TEST(Threads, HandEachBatchOnWhicheverWorkerIsFree) {
    std::ostringstream table;
    morvex::write_synthetic_table(table, 3000, 4);
    const auto run = [&](unsigned threads) {
        std::ostringstream out, err;
        morvex::session s(morvex::output_format::csv, false, out, err, {}, {}, threads);
        s.add_table_text("synthetic.csv", table.str());
        EXPECT_EQ(s.finish(), 0);
        return out.str() + err.str();
    };
    const std::string one = run(1);
    ASSERT_GT(one.size(), 100000U);
    for (const unsigned threads : {2U, 3U}) {
        EXPECT_TRUE(run(threads) == one) << threads << " threads";
    }
}

} // namespace
