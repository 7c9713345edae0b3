// The readers driven directly: conversions against glibc's strtod, the same numbers for
// every split of the input into chunks, and the exact messages for malformed input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <random>

#include "grades.h"
#include "number_parse.h"
#include "oracle.h"
#include "readers.h"
#include "tool_test_util.h"

namespace sela_tool {
namespace {

using tool_test::same_bits;

// Every token the readers accept converts as glibc's strtod does (correctly rounded).
TEST(ParseNumber, AgreesWithStrtod) {
  std::mt19937_64 random(11);
  std::vector<std::string> tokens = {
      "0", "-0", "+0.0", "1", "-1.5e-3", ".5", "5.", "1e308", "1.7976931348623157e308",
      "1.7976931348623158e308", "1.7976931348623159e308", "1e400", "-1e400", "1e-400",
      "-1e-400", "2.4703282292062328e-324", "2.4703282292062327e-324", "4.9e-324",
      "2.2250738585072011e-308", "0x1.8p-3", "-0X1P+4", "0x1.8", "0x1p-1074", "0x1p-1075",
      "0x1.0000000000001p-1075", "0x1.fffffffffffff8p1023", "0x1p1024", "-0x.8p1",
      "0.1000000000000000055511151231257827021181583404541015625",
      "9007199254740993", "9007199254740993.0000000000000000001"};
  char buffer[64];
  for (int i = 0; i < 2000; ++i) {
    const double v = std::ldexp(std::uniform_real_distribution<double>(-1, 1)(random),
                                std::uniform_int_distribution<int>(-1080, 1030)(random));
    std::snprintf(buffer, sizeof buffer, "%.*g", 1 + i % 20, v);
    tokens.push_back(buffer);
    std::snprintf(buffer, sizeof buffer, "%a", v);
    tokens.push_back(buffer);
  }
  for (const std::string &token : tokens) {
    double got = -7.0;
    ASSERT_TRUE(parse_number(token, got)) << token;
    const double want = std::strtod(token.c_str(), nullptr);
    EXPECT_TRUE(same_bits(got, want)) << token << ": " << got << " vs " << want;
  }
}

TEST(ParseNumber, SpecialValuesInAnyCase) {
  for (const char *token : {"inf", "INF", "+Inf", "infinity", "InFiNiTy"}) {
    double v = 0;
    ASSERT_TRUE(parse_number(token, v)) << token;
    EXPECT_EQ(v, std::numeric_limits<double>::infinity());
  }
  double v = 0;
  ASSERT_TRUE(parse_number("-INF", v));
  EXPECT_EQ(v, -std::numeric_limits<double>::infinity());
  for (const char *token : {"nan", "NaN", "-nan", "+NAN", "nan(123)"}) {
    ASSERT_TRUE(parse_number(token, v)) << token;
    EXPECT_TRUE(std::isnan(v));
  }
  ASSERT_TRUE(parse_number("-nan", v));
  EXPECT_TRUE(std::signbit(v));
}

TEST(ParseNumber, RefusesWhatIsNotOneNumber) {
  for (const char *token : {"", "+", "-", "--1", "+-1", "-+1", "1e", "1e+", "0x", "0xp3",
                            "0x-1p3", "0x+1", "1.2.3", "abc", " 1", "1 ", "1,5", "inf5",
                            "nanx", "1_000", "0x1p", "e5", ".", "-.", "1d5", "0b101",
                            "0xinf", "0xINFINITY", "-0xinf", "0xnan", "+0xNaN", "0xnan(1)"}) {
    double v = 42.0;
    EXPECT_FALSE(parse_number(token, v)) << "'" << token << "'";
    EXPECT_EQ(v, 42.0);
  }
}

// Decodes `bytes` fed in pieces of random lengths (seeded), returning the columns.
std::vector<std::vector<double>> decode_table(Format format, const std::string &bytes,
                                              const TableOptions &table, std::uint64_t seed,
                                              std::uint64_t *skipped = nullptr) {
  const std::unique_ptr<Reader> reader = make_reader(format, "f", table);
  std::vector<std::vector<double>> all(reader->columns().size());
  std::mt19937_64 random(seed);
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t piece = seed == 0 ? bytes.size() : 1 + random() % 23;
    reader->feed(std::string_view(bytes).substr(at, piece));
    at += piece;
    for (std::size_t k = 0; k < all.size(); ++k) {
      all[k].insert(all[k].end(), reader->columns()[k].begin(), reader->columns()[k].end());
      reader->columns()[k].clear();
    }
  }
  reader->finish();
  for (std::size_t k = 0; k < all.size(); ++k)
    all[k].insert(all[k].end(), reader->columns()[k].begin(), reader->columns()[k].end());
  if (skipped != nullptr) *skipped = reader->skipped_rows();
  return all;
}

std::vector<std::vector<double>> decode_split(Format format, const std::string &bytes,
                                              const std::vector<ColumnChoice> &choices,
                                              std::uint64_t seed) {
  return decode_table(format, bytes, TableOptions{choices}, seed);
}

void expect_same(const std::vector<double> &got, const std::vector<double> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i)
    ASSERT_TRUE(same_bits(got[i], want[i]) || (std::isnan(got[i]) && std::isnan(want[i])))
        << "element " << i << ": " << got[i] << " vs " << want[i];
}

TEST(Readers, TextGivesTheSameNumbersForEverySplit) {
  const std::vector<double> x = tool_test::hard_values(300, 1);
  std::string text = "# a comment, with 1 2 3 numbers\r\n";
  const char *separators[] = {" ", ",", ";", "\n", "\t", " , ", "\r\n", "  # note 7\n"};
  for (std::size_t i = 0; i < x.size(); ++i) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, i % 3 == 0 ? "%a" : "%.17g", x[i]);
    text += buffer;
    text += separators[i % 8];
  }
  text += "-INF nan 0x1.8p-3";
  std::vector<double> want = x;
  want.insert(want.end(), {-INFINITY, NAN, 0.1875});
  for (std::uint64_t seed = 0; seed < 20; ++seed)
    expect_same(decode_split(Format::text, text, {}, seed)[0], want);
}

TEST(Readers, TableColumnsByPositionAndName) {
  const std::string table =
      "id; \"price, net\" ;qty\n"
      "# a comment line\n"
      "1; 2.5 ; 3\r\n"
      "\n"
      "2;\"-0x1p-2\";4 # trailing comment\n"
      "3;1e-3;\"5\"";
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    const auto columns = decode_split(Format::text, table,
                                      {ColumnChoice{0, "price, net"}, ColumnChoice{3, {}}}, seed);
    expect_same(columns[0], {2.5, -0.25, 1e-3});
    expect_same(columns[1], {3, 4, 5});
  }
  // Without a header, the first row is data; blanks separate when nothing else does.
  expect_same(decode_split(Format::text, "1 2\n3 4\n", {ColumnChoice{2, {}}}, 5)[0], {2, 4});
}

TEST(Readers, NpyLayoutsGiveTheSameNumbersForEverySplit) {
  const std::vector<double> x = tool_test::hard_values(12, 2);
  std::vector<double> as_float;
  for (const double v : x) as_float.push_back(static_cast<double>(static_cast<float>(v)));
  for (std::uint64_t seed = 0; seed < 10; ++seed) {
    expect_same(decode_split(Format::npy, tool_test::npy_image("<f8", false, "(12,)", tool_test::element_bytes(x, 8, false)), {}, seed)[0], x);
    expect_same(decode_split(Format::npy, tool_test::npy_image(">f8", false, "(12,)", tool_test::element_bytes(x, 8, true)), {}, seed)[0], x);
    expect_same(decode_split(Format::npy, tool_test::npy_image(">f4", false, "(12,)", tool_test::element_bytes(x, 4, true)), {}, seed)[0], as_float);
    // A 4 x 3 array stored row by row holds x; its column 2 is x[1], x[4], x[7], x[10].
    const auto c_order = decode_split(
        Format::npy, tool_test::npy_image("<f8", false, "(4, 3)", tool_test::element_bytes(x, 8, false)),
        {ColumnChoice{2, {}}, ColumnChoice{3, {}}}, seed);
    expect_same(c_order[0], {x[1], x[4], x[7], x[10]});
    expect_same(c_order[1], {x[2], x[5], x[8], x[11]});
    // Stored column by column, column 2 is x[4..7].
    const auto f_order = decode_split(
        Format::npy, tool_test::npy_image("<f4", true, "(4, 3)", tool_test::element_bytes(x, 4, false)),
        {ColumnChoice{2, {}}}, seed);
    expect_same(f_order[0], {as_float[4], as_float[5], as_float[6], as_float[7]});
    expect_same(decode_split(Format::raw, tool_test::element_bytes(x, 8, false), {}, seed)[0], x);
  }
}

// The chosen numbers are read straight from the file only where they lie as one run of
// little-endian float64 values that the reader would decode to the same numbers.
TEST(Readers, Float64RunsOnlyForContiguousFloat64) {
  const std::vector<double> x = tool_test::hard_values(12, 3);
  const std::string f_order = tool_test::npy_image("<f8", true, "(4, 3)", tool_test::element_bytes(x, 8, false));
  const std::optional<NpyHeader> header = parse_npy_header(f_order, "f");
  ASSERT_TRUE(header.has_value());
  const auto run = npy_float64_run(*header, "f", {ColumnChoice{3, {}}}, f_order.size());
  ASSERT_TRUE(run.has_value());
  ASSERT_EQ(run->count, 4u);
  std::vector<double> in_file(4);
  std::memcpy(in_file.data(), f_order.data() + run->offset, 32);
  expect_same(in_file, {x[8], x[9], x[10], x[11]});
  expect_same(in_file, decode_split(Format::npy, f_order, {ColumnChoice{3, {}}}, 0)[0]);
  EXPECT_FALSE(npy_float64_run(*header, "f", {ColumnChoice{3, {}}}, f_order.size() - 8));
  EXPECT_FALSE(npy_float64_run(*header, "f", {ColumnChoice{3, {}}}, f_order.size() + 1));
  const std::string c_order = tool_test::npy_image("<f8", false, "(4, 3)", tool_test::element_bytes(x, 8, false));
  EXPECT_FALSE(npy_float64_run(*parse_npy_header(c_order, "f"), "f", {ColumnChoice{1, {}}}, c_order.size()));
  const std::string one_d = tool_test::npy_image("<f8", false, "(12,)", tool_test::element_bytes(x, 8, false));
  const auto whole = npy_float64_run(*parse_npy_header(one_d, "f"), "f", {}, one_d.size());
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->offset, one_d.size() - 96);
  EXPECT_EQ(whole->count, 12u);
  const std::string big_endian = tool_test::npy_image(">f8", false, "(12,)", tool_test::element_bytes(x, 8, true));
  EXPECT_FALSE(npy_float64_run(*parse_npy_header(big_endian, "f"), "f", {}, big_endian.size()));
}

// The message `bytes` raises (fed whole, then split at every byte): all must agree.
std::string message_of(Format format, const std::string &bytes, const TableOptions &table) {
  std::string first;
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    std::string message = "(no error)";
    try {
      decode_table(format, bytes, table, seed);
    } catch (const ReadError &error) {
      message = error.what();
    }
    if (seed == 0) first = message;
    EXPECT_EQ(message, first) << "split seed " << seed;
  }
  return first;
}

std::string message_of(Format format, const std::string &bytes,
                       const std::vector<ColumnChoice> &choices = {}) {
  return message_of(format, bytes, TableOptions{choices});
}

TEST(Readers, MalformedInputMessages) {
  EXPECT_EQ(message_of(Format::text, "1 2\n  3 x4 5"), "f:2:5: cannot read 'x4' as a number");
  EXPECT_EQ(message_of(Format::text, "1,2;3\n\n#c\n 4e 5"), "f:4:2: cannot read '4e' as a number");
  EXPECT_EQ(message_of(Format::text, "1\x01"), "f:1:1: cannot read '1\\x01' as a number");
  // A token beyond 1 MiB is refused however it arrives, not buffered without end.
  EXPECT_EQ(message_of(Format::text, "1 " + std::string((1 << 20) + 1, '7')),
            "f:1:3: cannot read '" + std::string(40, '7') + "...' as a number");
  EXPECT_EQ(message_of(Format::text, "a,b\n1,2\n3,x\n", {ColumnChoice{2, {}}}),
            "f:3:3: cannot read 'x' as a number");
  EXPECT_EQ(message_of(Format::text, "a,b\n1,2\n3\n", {ColumnChoice{2, {}}}),
            "f:3: row has 1 fields, column 2 is missing");
  EXPECT_EQ(message_of(Format::text, "a,b\n1,2\n", {ColumnChoice{0, "c"}}),
            "f:1: no column named 'c' (the header has a, b)");
  EXPECT_EQ(message_of(Format::text, "a,b\n1,2\n", TableOptions{{ColumnChoice{3, {}}}, HeaderMode::present}),
            "f:1: the header has 2 columns, column 3 is missing");
  const std::string good = tool_test::npy_image("<f8", false, "(2,)", std::string(16, '\0'));
  EXPECT_EQ(message_of(Format::npy, good.substr(0, 30)), "f: truncated .npy header");
  EXPECT_EQ(message_of(Format::npy, good.substr(0, good.size() - 3)),
            "f: truncated .npy file: the header describes 2 values (16 bytes of data), the file holds 13");
  EXPECT_EQ(message_of(Format::npy, good + "xyz"), "f: the .npy file has 3 bytes after its data");
  EXPECT_EQ(message_of(Format::npy, tool_test::npy_image("<i4", false, "(2,)", "")),
            "f: .npy data type '<i4' is not float64 or float32");
  EXPECT_EQ(message_of(Format::npy, tool_test::npy_image("<f8", false, "(2, 2, 2)", "")),
            "f: the .npy array has 3 dimensions; 1 or 2 are read");
  EXPECT_EQ(message_of(Format::npy, tool_test::npy_image("<f8", false, "(2, 3)", std::string(48, '\0'))),
            "f: 2-D .npy array (2 x 3): choose a column with --column N");
  EXPECT_EQ(message_of(Format::npy, tool_test::npy_image("<f8", false, "(2, 3)", std::string(48, '\0')), {ColumnChoice{4, {}}}),
            "f: column 4 is beyond the array's 3 columns");
  EXPECT_EQ(message_of(Format::npy, tool_test::npy_image("<f8", false, "(2,)", std::string(16, '\0')), {ColumnChoice{0, "a"}}),
            "f: a 1-D .npy array has no columns");
  EXPECT_EQ(message_of(Format::npy, tool_test::npy_image("<f8", false, "(4611686018427387904, 2)", "")),
            "f: the .npy array is too large");
  std::string bad_dict = good;
  bad_dict[11] = 'x';  // breaks the 'descr' key's quote
  EXPECT_EQ(message_of(Format::npy, bad_dict), "f: malformed .npy header");
  std::string version = good;
  version[6] = 9;
  EXPECT_EQ(message_of(Format::npy, version), "f: unsupported .npy version 9.0");
  EXPECT_EQ(message_of(Format::raw, std::string(20, '\0')), "f: 20 bytes is not a whole number of 8-byte values");
}

// A table written field by field with RFC 4180 quoting (fields holding separators,
// quotes, '#' and line breaks are quoted, quotes doubled; some numbers quoted too, some
// fields padded with blanks): the chosen column reads back as written, for every split.
TEST(Readers, TablesQuotedAsRfc4180ReadBack) {
  std::mt19937_64 random(41);
  const std::string junk_bytes = ",;\t\n\r\"# ab1.";
  const auto junk = [&] {
    std::string field;
    for (std::size_t k = random() % 6; k > 0; --k) field += junk_bytes[random() % junk_bytes.size()];
    return field;
  };
  const auto encode = [&](const std::string &field, char separator) {
    const bool must = field.find_first_of(std::string(1, separator) + "\"\n\r# \t") != std::string::npos;
    if (!must && random() % 4 != 0) return (random() % 3 == 0 ? " " : "") + field;
    std::string quoted = "\"";
    for (const char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
  };
  for (const char separator : {',', ';', '\t'}) {
    for (int table = 0; table < 6; ++table) {
      const std::vector<double> values = tool_test::hard_values(40, 50 + table);
      std::string text = encode("name", separator) + separator + encode("value, \"x\"", separator) + separator + "z\n";
      for (const double v : values)
        text += encode(junk(), separator) + separator + encode(tool_test::as_text({v}, ""), separator) + separator +
                encode(junk(), separator) + (random() % 2 ? "\r\n" : "\n");
      for (std::uint64_t seed = 0; seed < 6; ++seed) {
        expect_same(decode_split(Format::text, text, {ColumnChoice{0, "value, \"x\""}}, seed)[0], values);
        expect_same(decode_split(Format::text, text, {ColumnChoice{2, {}}}, seed)[0], values);
      }
    }
  }
}

// The header is decided by the chosen columns only, and by --header and --no-header;
// empty or absent chosen fields are missing values: an error, or rows left out and
// counted. Every split gives the same.
TEST(Readers, HeaderAndMissingValues) {
  const std::vector<ColumnChoice> first{ColumnChoice{1, {}}};
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    expect_same(decode_split(Format::text, "2020,2021\n1,2\n3,4\n", first, seed)[0], {2020, 1, 3});
    expect_same(decode_table(Format::text, "2020,2021\n1,2\n", {first, HeaderMode::present}, seed)[0], {1});
    expect_same(decode_split(Format::text, "1,2,x\n3,4,y\n", first, seed)[0], {1, 3});
    expect_same(decode_split(Format::text, "x,1\n3,4\n", first, seed)[0], {3});
    // The whole input is its first row, without a line break.
    expect_same(decode_split(Format::text, "7;\"8\"", {ColumnChoice{2, {}}}, seed)[0], {8});
    std::uint64_t skipped = 0;
    const TableOptions both{{ColumnChoice{0, "a"}, ColumnChoice{3, {}}}, HeaderMode::guess, MissingMode::skip};
    const auto columns = decode_table(Format::text, "a,b,c\n1,,2\n,1,2\n3,1,\n4\n5,0,6\n\"\",0,7\n", both, seed, &skipped);
    expect_same(columns[0], {1, 5});
    expect_same(columns[1], {2, 6});
    EXPECT_EQ(skipped, 4u);
  }
  const std::unique_ptr<Reader> reader = make_reader(Format::text, "f", TableOptions{{ColumnChoice{2, {}}}});
  reader->feed("day,deposit\n1,2\n");
  reader->finish();
  ASSERT_EQ(reader->notes().size(), 1u);
  EXPECT_EQ(reader->notes()[0], "f:1: first row read as the header ('deposit' in column 2 is not a number; --header or --no-header decides)");
  EXPECT_EQ(message_of(Format::text, "a,b\n1,\n", {ColumnChoice{2, {}}}),
            "f:2:3: empty field in column 2 (--missing skip leaves out the rows with missing values)");
  EXPECT_EQ(message_of(Format::text, "a,b\n1,2\n", TableOptions{{ColumnChoice{1, {}}}, HeaderMode::absent}),
            "f:1:1: cannot read 'a' as a number");
  EXPECT_EQ(message_of(Format::text, "x,y,x\n1,2,3\n", {ColumnChoice{0, "x"}}),
            "f:1: columns 1 and 3 are both named 'x'; choose one by its number");
  EXPECT_EQ(message_of(Format::text, "a\n\"1\n\n", {ColumnChoice{1, {}}}), "f:2:1: the quoted field is not closed");
  // A line break inside quotes does not end the row; positions count the lines.
  EXPECT_EQ(message_of(Format::text, "a,b\n\"x\ny\",1\n2,z\n", {ColumnChoice{2, {}}}),
            "f:4:3: cannot read 'z' as a number");
}

// The error of a result against the exact sum, against the GMP oracle: value - S is
// rounded once and divided by the unit in the last place of the rounded S.
TEST(Grades, ErrorAgainstTheExactSum) {
  for (std::uint64_t seed = 1; seed <= 30; ++seed) {
    const std::vector<double> x = tool_test::hard_values(200 + seed * 37, seed);
    const sela_accumulator held = exact_accumulate(x, static_cast<unsigned>(seed % 4 + 1));
    const double exact = sela_accumulator_round(&held);
    ASSERT_TRUE(same_bits(exact, oracle::exactSum(x)));
    GradeResult result;
    result.value = sela_sum_naive(x.data(), x.size());
    measure_error(held, exact, result);
    std::vector<double> with = x;
    with.push_back(-result.value);
    const double error = -oracle::exactSum(with);
    int e = 0;
    std::frexp(exact, &e);
    EXPECT_EQ(result.error_ulp, std::ldexp(error, 53 - e)) << seed;
    EXPECT_EQ(result.relative_error, std::fabs(error) / std::fabs(exact)) << seed;
  }
}

TEST(Grades, DigitsLost) {
  EXPECT_EQ(digits_lost(0.0), 0);
  EXPECT_EQ(digits_lost(0x1p-53), 0);
  EXPECT_EQ(digits_lost(1.1e-15), 1);
  EXPECT_EQ(digits_lost(1.1e-12), 4);
  EXPECT_EQ(digits_lost(0.5), 16);
  EXPECT_EQ(digits_lost(1.0), 16);
  EXPECT_EQ(digits_lost(INFINITY), 16);
}

}  // namespace
}  // namespace sela_tool
