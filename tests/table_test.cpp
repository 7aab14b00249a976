// Reading a table's records as views into its text, and grouping its rows by study.
#include "bench/allocation_count.hpp"
#include "bench/synthetic_study.hpp"
#include "estimation/input/file_text.hpp"
#include "estimation/input/number.hpp"
#include "estimation/input/row_index.hpp"
#include "estimation/input/table_file.hpp"
#include "estimation/input/table_index.hpp"
#include "estimation/input/table_records.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

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

// Which headers make a table of means, and which refuse the file: a table of
// cases keeps ignoring columns named mean, sd or ref, even two of one.
TEST(TableHeader, TellsTablesOfMeansFromTablesOfCases) {
    struct row {
        const char* header;
        bool continuous;
        const char* fault; // a piece of the message; empty when the header serves
    };
    const row rows[] = {
        {"id,dose,mean,sd,n", true, ""},
        {"Study,Dose,AVG,StDev,N,Ref", true, ""},
        {"id,dose,mean,std,n,reference", true, ""},
        {"id,dose,mean,n", true, "lacks column sd"},
        {"id,dose,sd,n", true, "lacks column mean"},
        {"id,dose,mean,sd,stdev,n", true, "two columns for sd"},
        {"id,dose,mean,sd", true, "lacks column n"},
        {"id,type,dose,cases,n,rr,lb,ub,mean,sd,std", false, ""},
        {"id,type,dose,cases,n,logrr,se,ref,reference", false, ""},
        {"id,type,dose,mean,sd,n,rr,lb,ub", false, "lacks column cases"},
        {"id,dose,n", false, "lacks columns type, cases"},
    };
    for (const row& r : rows) {
        std::vector<std::string> fields;
        std::istringstream in(r.header);
        for (std::string field; std::getline(in, field, ',');) {
            fields.push_back(field);
        }
        try {
            const table_columns c = find_columns(fields, 1);
            EXPECT_EQ(c.continuous, r.continuous) << r.header;
            EXPECT_STREQ(r.fault, "") << r.header;
        } catch (const table_error& e) {
            EXPECT_NE(std::string(r.fault), "") << r.header << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(r.fault), std::string::npos)
                << r.header << ": " << e.what();
        }
    }
}

// Texts of records of random fields, every field ending at every place of an
// eight-byte word, line ends of each kind; `quotes` adds quotes anywhere, so
// that some records are quoted and some broken.
std::string random_records(std::mt19937& random, char separator, bool quotes) {
    const std::string letters = std::string("ab1. \t") + separator + (quotes ? "\"\"" : "");
    const char* const ends[] = {"\n", "\r\n", "\r"};
    std::string text;
    const int records = std::uniform_int_distribution<int>(1, 6)(random);
    for (int r = 0; r < records; ++r) {
        const int length = std::uniform_int_distribution<int>(0, 40)(random);
        for (int k = 0; k < length; ++k) {
            text +=
                letters[std::uniform_int_distribution<std::size_t>(0, letters.size() - 1)(random)];
        }
        if (r + 1 < records || random() % 2 == 0) {
            text += ends[random() % 3];
        }
    }
    return text;
}

// What next() should give for a record without quotes: a plain scan.
std::vector<std::string> plain_split(std::string_view text, std::size_t& pos, char separator) {
    std::vector<std::string> fields(1);
    while (pos < text.size() && text[pos] != '\n' && text[pos] != '\r') {
        if (text[pos] == separator) {
            fields.emplace_back();
        } else {
            fields.back() += text[pos];
        }
        ++pos;
    }
    if (pos < text.size()) {
        pos += text.compare(pos, 2, "\r\n") == 0 ? 2 : 1;
    }
    return fields;
}

bool blank(const std::vector<std::string>& fields) {
    for (const std::string& f : fields) {
        if (f.find_first_not_of(" \t") != std::string::npos) {
            return false;
        }
    }
    return true;
}

TEST(RecordReader, SplitsRecordsWithoutQuotesAsAPlainScan) {
    std::mt19937 random(19);
    for (int round = 0; round < 3000; ++round) {
        const char separator = ",\t;"[round % 3];
        const std::string text = random_records(random, separator, false);
        record_reader in(text, separator, 0, 1);
        std::size_t pos = 0;
        std::vector<std::string_view> fields;
        for (int line = 1; !in.at_end(); ++line) {
            const std::vector<std::string> expected = plain_split(text, pos, separator);
            // Any field by itself, as the index reads it, and then the record.
            const auto index = static_cast<std::size_t>(random() % (expected.size() + 1));
            record_reader key(text, separator, in.position(), line);
            bool is_blank = false;
            const std::string_view field = key.next_field(index, is_blank, fields);
            EXPECT_EQ(std::string(field), index < expected.size() ? expected[index] : "");
            EXPECT_EQ(is_blank, blank(expected));
            EXPECT_FALSE(key.is_copy(field));
            in.next(fields);
            ASSERT_EQ(strings(fields), expected) << round << ": " << text;
            const int after = text[pos - 1] == '\n' || text[pos - 1] == '\r' ? line + 1 : line;
            EXPECT_EQ(std::make_pair(in.position(), in.line()), std::make_pair(pos, after));
            EXPECT_EQ(std::make_pair(key.position(), key.line()), std::make_pair(pos, after));
        }
    }
}

// What next() reads, field or fault, next_field reads the same way, quotes or not.
TEST(RecordReader, ReadsOneFieldAsTheWholeRecordGivesIt) {
    std::mt19937 random(7);
    const auto outcome = [](auto read) {
        try {
            return read();
        } catch (const table_error& e) {
            return std::to_string(e.line()) + ": " + e.what();
        }
    };
    for (int round = 0; round < 3000; ++round) {
        const std::string text = random_records(random, ',', true);
        record_reader whole(text, ',', 0, 1);
        record_reader one(text, ',', 0, 1);
        std::vector<std::string_view> fields;
        std::vector<std::string_view> scratch;
        while (!whole.at_end()) {
            const auto index = static_cast<std::size_t>(random() % 4);
            const std::string expected = outcome([&] {
                whole.next(fields);
                return (index < fields.size() ? std::string(fields[index]) : "") + '|' +
                       (blank(strings(fields)) ? "blank" : "") + '|' + std::to_string(whole.line());
            });
            const std::string got = outcome([&] {
                bool is_blank = false;
                const std::string field(one.next_field(index, is_blank, scratch));
                return field + '|' + (is_blank ? "blank" : "") + '|' + std::to_string(one.line());
            });
            ASSERT_EQ(got, expected) << text;
            if (expected.find('|') == std::string::npos) {
                break; // a fault of the whole text
            }
        }
    }
}

std::uint64_t bits(double x) {
    std::uint64_t b = 0;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Short plain decimals take a shortcut; every token must still read as the
// correctly rounded value that strtod gives, whichever way it goes.
TEST(Numbers, ShortAndLongDecimalsReadAsStrtodReadsThem) {
    std::mt19937 random(2024);
    const std::string edges[] = {"-0",
                                 "-0.0",
                                 "0.1",
                                 "123456789012345",
                                 "1234567890123456",
                                 ".000000000000001",
                                 "9007199254740993",
                                 "999999999999999.",
                                 "+0.30000000000000004",
                                 "1.7976931348623157",
                                 "00000000000000000001"};
    std::vector<std::string> tokens(std::begin(edges), std::end(edges));
    for (int k = 0; k < 200000; ++k) {
        std::string token = random() % 4 == 0 ? "-" : "";
        const int digits = std::uniform_int_distribution<int>(1, 18)(random);
        const int point = std::uniform_int_distribution<int>(-1, digits)(random);
        for (int d = 0; d < digits; ++d) {
            token += d == point ? "." : "";
            token += static_cast<char>('0' + random() % 10);
        }
        tokens.push_back(token + (point == digits ? "." : ""));
    }
    for (const std::string& token : tokens) {
        const parsed<double> got = parse_number(token);
        const double expected = std::strtod(token.c_str(), nullptr);
        ASSERT_EQ(got.status, number_status::ok) << token;
        ASSERT_EQ(bits(got.value), bits(expected))
            << token << ": " << got.value << " against " << expected;
    }
}

// Any token of number-like characters: a number exactly where the grammar
// (sign, digits with at most one point, an exponent) says so, read as strtod
// reads it, whether the shortcut takes it or the full reading does.
TEST(Numbers, EveryTokenOfNumberCharactersReadsAsTheGrammarAndStrtodSay) {
    std::mt19937 random(19);
    const std::string alphabet = "0000123456789..--+eE x";
    const std::regex grammar("[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]+)?");
    for (int k = 0; k < 300000; ++k) {
        std::string token;
        const int length = std::uniform_int_distribution<int>(0, 24)(random);
        for (int c = 0; c < length; ++c) {
            token += alphabet[random() % alphabet.size()];
        }
        const parsed<double> got = parse_number(token);
        if (!std::regex_match(token, grammar)) {
            ASSERT_EQ(got.status, number_status::not_a_number) << token;
            continue;
        }
        errno = 0;
        const double expected = std::strtod(token.c_str(), nullptr);
        if (errno == ERANGE) {
            continue; // overflow and underflow are the other test's
        }
        ASSERT_EQ(got.status, number_status::ok) << token;
        ASSERT_EQ(bits(got.value), bits(expected)) << token;
    }
}

std::string text_of(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool same(double a, double b) {
    return bits(a) == bits(b);
}

bool same(const Matrix& a, const Matrix& b) {
    if (a.row_count() != b.row_count() || a.col_count() != b.col_count()) {
        return false;
    }
    for (Matrix::size_type i = 0; i < a.row_count(); ++i) {
        for (Matrix::size_type j = 0; j < a.col_count(); ++j) {
            if (!same(a(i, j), b(i, j))) {
                return false;
            }
        }
    }
    return true;
}

// Every part of a study as read, so that a record used again can be compared
// with a new one: each field a line.
std::string described(const table_study& t) {
    std::ostringstream out;
    out << t.id << '\n' << t.first_line << '\n' << t.message << '\n';
    for (const std::string& more : t.more) {
        out << more << '\n';
    }
    if (!t.data) {
        return out.str();
    }
    const study& s = *t.data;
    out << s.title << '\n'
        << design_code(s.design) << ' ' << words(s.measure).code << ' ' << s.n << '\n'
        << s.missing_counts << ' ' << s.missing_counts_line << '\n'
        << s.convention << '\n';
    for (const notice& w : s.warnings) {
        out << w.line << ' ' << w.note << ' ' << w.message << '\n';
    }
    for (const dose_assignment& a : s.assigned_doses) {
        out << a.line << ' ' << a.text << ' ' << a.rule << ' ' << a.dose << '\n';
    }
    return out.str();
}

bool same_numbers(const study& a, const study& b) {
    const Matrix study::*columns[] = {&study::N,    &study::x,  &study::dose, &study::A,
                                      &study::L,    &study::lo, &study::hi,   &study::v,
                                      &study::mean, &study::sd};
    bool equal = same(a.M1, b.M1) && same(a.A0, b.A0) && same(a.N0, b.N0) && same(a.x0, b.x0) &&
                 same(a.mean0, b.mean0) && same(a.sd0, b.sd0);
    for (const Matrix study::*column : columns) {
        equal = equal && same(a.*column, b.*column);
    }
    return equal;
}

// A run reads every study of a table into one record: each must come out as a
// new record would hold it, whatever the study before left there (more or
// fewer categories, warnings, assigned doses, a refusal). The tables of the
// end-to-end cases hold all of these.
TEST(TableFile, ReadsEveryStudyIntoOneRecordAsIntoANewOne) {
    int tables = 0;
    int studies = 0;
    for (const char* folder : {CASES_FOLDER, TABLES_FOLDER}) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (!is_table_name(name)) {
                continue;
            }
            std::optional<table_file> table;
            try {
                table.emplace(text_of(entry.path()), is_tsv_name(name));
            } catch (const table_error&) {
                continue;
            }
            ++tables;
            table_study kept;
            for (int pass = 0; pass < 2; ++pass) { // the second from the last study
                for (std::size_t k = 0; k < table->study_count(); ++k) {
                    const std::size_t at = pass == 0 ? k : table->study_count() - 1 - k;
                    const table_study fresh = table->read(at);
                    table->read(at, kept);
                    ASSERT_EQ(described(kept), described(fresh)) << name << ' ' << at;
                    ASSERT_EQ(kept.data.has_value(), fresh.data.has_value());
                    EXPECT_TRUE(!fresh.data || same_numbers(*kept.data, *fresh.data))
                        << name << ' ' << at;
                    ++studies;
                }
            }
        }
    }
    EXPECT_GE(tables, 20);
    EXPECT_GE(studies, 100);
}

// Every member of a result as text (NaN as nan), matrices by their size.
std::string members(const study_result& r) {
    std::ostringstream out;
    const auto size = [](const Matrix& m) {
        return std::to_string(m.row_count()) + 'x' + std::to_string(m.col_count());
    };
    out << r.input << '|' << r.id << '|' << r.first_line << r.from_table << r.has_data << r.has_fit
        << '|' << status_name(r.status) << '|' << r.message << '|' << r.more_messages.size() << '|'
        << r.iterations << r.converged << '|' << r.fitted_A0 << '|' << size(r.fitted) << size(r.V)
        << covariance_name(r.covariance) << r.has_pseudo << '|' << r.pseudo_A0 << ' ' << r.pseudo_N0
        << size(r.pseudo_A) << size(r.pseudo_N) << '|' << r.beta << ' ' << r.se << r.abnormal
        << '|';
    const table_study as_read{"", 0, r.data, "", {}, {}, {}, {}};
    out << described(as_read);
    return out.str();
}

// A result that held a study with notices, assigned doses and missing
// counts, estimated and refused, comes out of renew as a new one; the study
// it traded for the record's is the record's, member for member.
TEST(TableFile, ARenewedResultHoldsNothingOfTheStudyBefore) {
    const table_file table("id,type,dose,cases,n,rr,lb,ub\n"
                           "a,ci,<1,10,100,1,,\n"
                           "a,ci,1-3,,100,1.5,2.0,1.2\n"
                           "a,ci,3+,30,100,2,1.5,2.5\n",
                           false);
    table_study record;
    table.read(0, record);
    ASSERT_TRUE(record.data) << record.message;
    const std::string read = described(record);
    study_result r;
    r.data.title = "before";
    swap(r.data, *record.data);
    EXPECT_EQ(record.data->title, "before");
    EXPECT_EQ(described(table_study{record.id, record.first_line, r.data, "", {}, {}, {}, {}}),
              read);
    EXPECT_FALSE(r.data.warnings.empty() || r.data.assigned_doses.empty() ||
                 r.data.missing_counts.empty());
    r.input = "t.csv";
    r.id = "a";
    r.first_line = 2;
    r.from_table = r.has_data = r.has_fit = r.converged = r.has_pseudo = r.abnormal = true;
    r.status = study_status::stopped;
    r.message = "stopped";
    r.more_messages = {"more"};
    r.iterations = 3;
    r.fitted_A0 = r.pseudo_A0 = r.pseudo_N0 = r.beta = r.se = 1.0;
    r.fitted = r.pseudo_A = r.pseudo_N = zeros(2, 1);
    r.V = zeros(2, 2);
    r.covariance = covariance_kind::hamling;
    ASSERT_NE(members(r), members(study_result{}));
    renew(r);
    EXPECT_EQ(members(r), members(study_result{}));
}

// Once the record and the result (which trade their studies as a run does)
// have held the largest study, reading the studies of a table again allocates
// nothing, and neither does renewing the result.
TEST(TableFile, ReadsStudiesIntoOneRecordWithoutAllocating) {
    std::ostringstream text;
    write_synthetic_table(text, 30, 6);
    const table_file table(text.str(), false);
    table_study record;
    study_result result;
    long allocations = 0;
    for (int pass = 0; pass < 2; ++pass) {
        const long before = allocation_count();
        for (std::size_t k = 0; k < table.study_count(); ++k) {
            table.read(k, record);
            ASSERT_TRUE(record.data) << record.message;
            swap(result.data, *record.data);
            renew(result);
        }
        allocations = allocation_count() - before;
    }
    EXPECT_EQ(allocations, 0);
}

// An index as text: each study's id, then its rows' offsets and lines.
std::string described(const row_index& index) {
    std::string text;
    for (std::size_t k = 0; k < index.study_count(); ++k) {
        text += std::string(index.id(k)) + ':';
        for (std::uint32_t r = index.first(k); r != row_index::none; r = index.at(r).next) {
            text +=
                ' ' + std::to_string(index.at(r).offset) + '@' + std::to_string(index.at(r).line);
        }
        text += '\n';
    }
    return text;
}

// A file read in parts on several threads gives the bytes one read gives, at
// every size around the parts' bounds; a file that cannot be read gives the
// same reason.
TEST(FileText, PartsOnThreadsGiveTheWholeFile) {
    namespace fs = std::filesystem;
    const fs::path folder =
        fs::temp_directory_path() / ("morvex-file-text-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string path = (folder / "t.csv").string();
    std::mt19937 random(7);
    for (const std::size_t size : {0U, 1U, 63U, 64U, 65U, 127U, 128U, 129U, 200U, 4099U}) {
        for (const unsigned threads : {0U, 1U, 2U, 3U, 8U}) {
            // New bytes each time: storage freed by the last read must not
            // stand in for bytes this one left out.
            std::string bytes(size, '\0');
            for (char& c : bytes) {
                c = static_cast<char>(random() % 256); // line ends and NUL among them
            }
            std::ofstream(path, std::ios::binary) << bytes;
            ASSERT_EQ(read_file(path), bytes);
            EXPECT_EQ(read_file_text(path, threads, 64).view(), bytes)
                << size << " bytes, " << threads << " threads";
        }
    }
    const auto reason = [](const std::string& p, unsigned threads) {
        try {
            static_cast<void>(read_file_text(p, threads, 64));
        } catch (const file_error& e) {
            return std::string(e.what());
        }
        return std::string("read");
    };
    EXPECT_EQ(reason((folder / "missing.csv").string(), 2),
              "cannot open: No such file or directory");
    EXPECT_EQ(reason(folder.string(), 2), "cannot read: Is a directory");
    fs::remove_all(folder);
}

// Cut into chunks at line ends and indexed on several threads, a table gives
// the index one thread gives: every kind of line end, blank rows, ids apart
// and padded, a last row without a line end, chunks shorter than a row.
TEST(TableIndex, ChunksOnThreadsGiveTheIndexOfOneThread) {
    std::vector<std::pair<std::string, std::size_t>> texts; // and the id's field
    std::string lf = "id,dose\n";
    for (int k = 0; k < 300; ++k) {
        lf += "s" + std::to_string(k * 37 % 53) + "," + std::to_string(k) + "\n";
        lf += k % 11 == 0 ? "\n , \n" : "";
    }
    texts.emplace_back(lf, 0);
    std::string crlf;
    for (const char c : lf) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    texts.emplace_back(crlf, 0);
    std::string cr = lf;
    std::replace(cr.begin(), cr.end(), '\n', '\r');
    texts.emplace_back(cr, 0);
    texts.emplace_back(lf.substr(0, lf.size() - 1) + "\r\ns1,9\rs2,8\n\ns1,7", 0);
    texts.emplace_back("a,b,id\n1,2, x \n3,4,x\n5,6\n7,8,y\n9,9,x\n", 2);
    // Quotes from a point on: a line end inside one is no row's end.
    texts.emplace_back(lf + "\"s1\",\"1\n2\"\ns2,3\n\"s\"\"4\",5\n" + lf.substr(8), 0);
    for (const auto& entry : std::filesystem::directory_iterator(TABLES_FOLDER)) {
        const std::string text = text_of(entry.path());
        const std::string header = text.substr(0, text.find('\n'));
        std::size_t field = 0;
        for (std::size_t at = 0; header.compare(at, 3, "id,") != 0; ++field) {
            at = header.find(',', at) + 1;
        }
        texts.emplace_back(text, field);
    }
    for (const auto& [text, field] : texts) {
        const table_body body{text.find_first_of("\r\n") + 1, 2};
        const std::string one = described(index_table_rows(text, ',', field, body, 1));
        ASSERT_GT(one.size(), 10U);
        for (const unsigned threads : {2U, 3U}) {
            for (const std::size_t chunk : {1U, 7U, 64U, 500U}) {
                EXPECT_EQ(described(index_table_rows(text, ',', field, body, threads, chunk)), one)
                    << text.substr(0, 40) << ", threads " << threads << ", chunk " << chunk;
            }
        }
    }
    // A quote that never closes is reported at its own line, as one thread finds it.
    const std::string broken = lf + "s1,\"2\n\ns3,4\n";
    const auto fault = [&](unsigned threads, std::size_t chunk) {
        try {
            index_table_rows(broken, ',', 0, {8, 2}, threads, chunk);
        } catch (const table_error& e) {
            return std::to_string(e.line()) + ": " + e.what();
        }
        return std::string("no fault");
    };
    EXPECT_EQ(fault(1, index_chunk_bytes).substr(0, 5), "358: ");
    EXPECT_EQ(fault(2, 7), fault(1, index_chunk_bytes));
    EXPECT_EQ(fault(3, 64), fault(1, index_chunk_bytes));
}

} // namespace
} // namespace morvex
