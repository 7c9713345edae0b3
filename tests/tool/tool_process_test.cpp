// The tool run as a process on files written here: its numbers against the library
// called directly, bit for bit, in every input format; its messages and exit statuses.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "grades.h"
#include "number_parse.h"
#include "render.h"
#include "sela.h"
#include "tool_test_util.h"

namespace {

using sela_tool::Command;
using tool_test::as_text;
using tool_test::element_bytes;
using tool_test::npy_image;
using tool_test::Outcome;
using tool_test::run_tool;
using tool_test::same_bits;
using tool_test::Stdin;

// The one number the tool printed, read back.
double number_of(const Outcome &outcome) {
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  std::string text = outcome.out;
  EXPECT_FALSE(text.empty());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  double value = NAN;
  EXPECT_TRUE(sela_tool::parse_number(text, value)) << "'" << text << "'";
  return value;
}

double library_sum(const std::string &method, const std::vector<double> &x) {
  if (method == "naive") return sela_sum_naive(x.data(), x.size());
  if (method == "klein") return sela_sum_klein(x.data(), x.size());
  if (method == "pairwise") return sela_sum_pairwise(x.data(), x.size());
  return sela_sum_exact(x.data(), x.size());
}

class ToolTest : public ::testing::Test {
 protected:
  tool_test::ScratchDir dir;
  std::vector<double> x = tool_test::hard_values(5000, 7);
};

// Every grade through the process equals the library's own function on the same numbers.
TEST_F(ToolTest, EveryGradeEqualsTheLibrary) {
  const std::string file = dir.write("x.txt", "# data\n" + as_text(x, ",\n"));
  const std::vector<std::pair<std::string, double>> expected = {
      {"naive", sela_sum_naive(x.data(), x.size())},
      {"pairwise", sela_sum_pairwise(x.data(), x.size())},
      {"pairwise_iterative", sela_sum_pairwise_iterative(x.data(), x.size())},
      {"kahan", sela_sum_kahan(x.data(), x.size())},
      {"neumaier", sela_sum_neumaier(x.data(), x.size())},
      {"klein", sela_sum_klein(x.data(), x.size())},
      {"shewchuk", sela_sum_shewchuk(x.data(), x.size())},
      {"sum2", sela_sum_oro(x.data(), x.size())},
      {"k:3", sela_sum_k(x.data(), x.size(), 3)},
      {"k:5", sela_sum_k(x.data(), x.size(), 5)},
      {"acc", sela_sum_acc(x.data(), x.size())},
      {"near", sela_sum_near(x.data(), x.size())},
      {"exact", sela_sum_exact(x.data(), x.size())}};
  for (const auto &[method, want] : expected)
    EXPECT_TRUE(same_bits(number_of(run_tool({"sum", file, "--method", method})), want)) << method;
  // The data are ill-conditioned enough that the grades differ.
  EXPECT_FALSE(same_bits(expected[0].second, expected.back().second));
}

// Each format and layout gives the numbers it holds, through the mapped, the decoded and
// the streamed paths.
TEST_F(ToolTest, FormatsAndLayouts) {
  std::vector<double> as_float;
  for (const double v : x) as_float.push_back(static_cast<double>(static_cast<float>(v)));
  // A 1000 x 5 table whose column 3 is x[0..1000).
  std::vector<double> c_order, f_order;
  const std::size_t rows = 1000;
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < 5; ++c) c_order.push_back(x[(c + 3) % 5 * rows + r]);
  for (std::size_t c = 0; c < 5; ++c)
    for (std::size_t r = 0; r < rows; ++r) f_order.push_back(x[(c + 3) % 5 * rows + r]);
  const std::vector<double> column(x.begin(), x.begin() + rows);
  std::string csv = "a,b,\"the x\",d,e\n";
  for (std::size_t r = 0; r < rows; ++r)
    csv += as_text({c_order.begin() + r * 5, c_order.begin() + r * 5 + 5}, ", ") + "\n";
  struct Case {
    std::string name, bytes;
    std::vector<std::string> options;
    std::vector<double> values;
  };
  const std::vector<Case> cases = {
      {"le8.npy", npy_image("<f8", false, "(5000,)", element_bytes(x, 8, false)), {}, x},
      {"be8.npy", npy_image(">f8", false, "(5000,)", element_bytes(x, 8, true)), {}, x},
      {"le4.npy", npy_image("<f4", false, "(5000,)", element_bytes(x, 4, false)), {}, as_float},
      {"c.npy", npy_image("<f8", false, "(1000, 5)", element_bytes(c_order, 8, false)), {"--column", "3"}, column},
      {"f.npy", npy_image("<f8", true, "(1000, 5)", element_bytes(f_order, 8, false)), {"--column", "3"}, column},
      {"x.raw", element_bytes(x, 8, false), {"--raw"}, x},
      {"t.csv", csv, {"--column", "the x"}, column},
      {"n.csv", csv, {"--column", "3", "--header"}, column},
  };
  for (const Case &c : cases) {
    const std::string file = dir.write(c.name, c.bytes);
    for (const std::string method : {"naive", "klein", "exact"}) {
      std::vector<std::string> args{"sum", file, "--method", method};
      args.insert(args.end(), c.options.begin(), c.options.end());
      EXPECT_TRUE(same_bits(number_of(run_tool(args)), library_sum(method, c.values)))
          << c.name << " " << method;
      // The same bytes through standard input.
      args[1].assign(1, '-');
      EXPECT_TRUE(same_bits(number_of(run_tool(args, Stdin::file, file)), library_sum(method, c.values)))
          << c.name << " on stdin, " << method;
    }
  }
  // A spreadsheet's byte-order mark before the header is not part of the first name.
  const std::string bom = dir.write("bom.csv", "\xEF\xBB\xBFv,w\n0.5,1\n0x1p-50,2\n");
  EXPECT_EQ(run_tool({"sum", bom, "--column", "v", "--method", "exact"}).out, "0.5000000000000009\n");
  EXPECT_EQ(run_tool({"sum", "-", "--column", "v", "--method", "naive"}, Stdin::file, bom).out, "0.5000000000000009\n");
  // Several files are one sequence, whatever their formats.
  const std::string a = dir.write("a.txt", as_text({x.begin(), x.begin() + 100}, " "));
  const std::string b = dir.write("b.npy", npy_image("<f8", false, "(4900,)", element_bytes({x.begin() + 100, x.end()}, 8, false)));
  EXPECT_TRUE(same_bits(number_of(run_tool({"sum", a, b, "--method", "pairwise"})), library_sum("pairwise", x)));
  EXPECT_TRUE(same_bits(number_of(run_tool({"sum", a, b, "--method", "exact"})), library_sum("exact", x)));
}

TEST_F(ToolTest, DotProductsAndStatistics) {
  const std::vector<double> y = tool_test::hard_values(5000, 8);
  const std::string fx = dir.write("x.txt", as_text(x, "\n"));
  const std::string fy = dir.write("y.npy", npy_image("<f8", false, "(5000,)", element_bytes(y, 8, false)));
  std::string csv = "x;y\n";
  for (std::size_t i = 0; i < x.size(); ++i) csv += as_text({x[i], y[i]}, ";") + "\n";
  const std::string table = dir.write("xy.csv", csv);
  const std::vector<std::pair<std::string, double>> expected = {
      {"naive", sela_dot_naive(x.data(), y.data(), x.size())},
      {"dot2", sela_dot2(x.data(), y.data(), x.size())},
      {"k:3", sela_dot_k(x.data(), y.data(), x.size(), 3)},
      {"k:6", sela_dot_k(x.data(), y.data(), x.size(), 6)},
      {"exact", sela_dot_exact(x.data(), y.data(), x.size())}};
  for (const auto &[method, want] : expected) {
    EXPECT_TRUE(same_bits(number_of(run_tool({"dot", fx, fy, "--method", method})), want)) << method;
    EXPECT_TRUE(same_bits(number_of(run_tool({"dot", table, "--columns", "x,2", "--method", method})), want)) << method;
  }
  const double mean = sela_mean_scaled(x.data(), x.size());
  const double squares = sela_centered_sum_squares(x.data(), x.size(), mean);
  const std::vector<std::pair<std::string, double>> stats = {
      {"count", 5000.0},
      {"sum", sela_sum_exact(x.data(), x.size())},
      {"mean", mean},
      {"norm", sela_norm_scaled(x.data(), x.size())},
      {"condition", sela_condition_number(x.data(), x.size())},
      {"centered_squares", squares},
      {"variance", squares / 4999.0},
      {"stddev", std::sqrt(squares / 4999.0)}};
  for (const auto &[name, want] : stats)
    EXPECT_TRUE(same_bits(number_of(run_tool({"stats", fx, "--method", name})), want)) << name;
}

// The exact sum through 1 to 4 per-thread accumulators: the same bits, equal to the
// library's exact sum, mapped in place, decoded, and streamed from a pipe.
TEST_F(ToolTest, ThreadsGiveIdenticalBits) {
  std::vector<double> big = tool_test::hard_values(300000, 9);
  const double want = sela_sum_exact(big.data(), big.size());
  const std::string npy = dir.write("big.npy", npy_image("<f8", false, "(300000,)", element_bytes(big, 8, false)));
  const std::string text = dir.write("big.txt", as_text(big, "\n"));
  for (const std::string threads : {"1", "2", "3", "4"}) {
    EXPECT_TRUE(same_bits(number_of(run_tool({"sum", npy, "--method", "exact", "--threads", threads})), want));
    EXPECT_TRUE(same_bits(number_of(run_tool({"sum", text, "--method=exact", "--threads=" + threads})), want));
    for (const std::string &file : {npy, text}) {
      const Outcome json = run_tool({"sum", file, "--json", "--threads", threads});
      EXPECT_NE(json.out.find("\"exact_hex\": \"" + sela_tool::hexadecimal(want) + "\""), std::string::npos);
    }
  }
}

TEST_F(ToolTest, TableJsonAndVerdict) {
  const std::string file = dir.write("c.txt", "1 1e100 1 -1e100\n");
  const Outcome text = run_tool({"sum", file});
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("exact sum                 2.0000000000000000e+00  0x1p+1"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Verdict: the plain loop lost all 16 significant digits (it gives 0)."), std::string::npos);
  const Outcome json = run_tool({"sum", file, "--json"});
  EXPECT_EQ(json.status, 0);
  // naive gives 0 for an exact sum of 2: an error of -2, that is -2^52 units of 2^-51.
  EXPECT_NE(json.out.find("{\"method\": \"naive\", \"value\": 0, \"hex\": \"0x0p+0\", \"error_ulp\": -4503599627370496, \"relative_error\": 1,"),
            std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"digits_lost\": 16"), std::string::npos);
  const std::string halves = dir.write("h.txt", "1 0x1p-53 0x1p-53 0x1p-53");
  const Outcome near = run_tool({"sum", halves, "--json", "--method", "naive"});
  // naive keeps 1; the exact sum 1 + 1.5 * 2^-52 rounds to 1 + 2^-51.
  EXPECT_NE(near.out.find("\"error_ulp\": -1.5"), std::string::npos) << near.out;
  const Outcome special = run_tool({"sum", dir.write("s.txt", "inf -INF 1")});
  EXPECT_NE(special.out.find("nan, so there are no digits to lose."), std::string::npos) << special.out;
}

// The built-in data sets run without a terminal and without any standard input.
TEST_F(ToolTest, DemoNeedsNoStandardInput) {
  for (const Stdin mode : {Stdin::closed, Stdin::null_device}) {
    const Outcome demo = run_tool({"sum", "--demo"}, mode);
    EXPECT_EQ(demo.status, 0);
    EXPECT_EQ(demo.err, "");
    EXPECT_NE(demo.out.find("alternating harmonic series, 1e5 terms"), std::string::npos);
    EXPECT_NE(demo.out.find("1, 1e100, 1, -1e100 (exact sum 2)"), std::string::npos);
  }
  EXPECT_EQ(run_tool({"--demo", "--method", "exact"}).out, "1\n2\n1.0000000000000004\n0.6931421805849453\n");
  const Outcome help = run_tool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: sela", 0), 0u);
  EXPECT_EQ(run_tool({"--version"}).out, std::string("sela ") + sela_version() + "\n");
}

// Every error: its exact message on standard error, nothing on standard output, status 2.
TEST_F(ToolTest, ErrorsAreExactAndLeaveNoOutput) {
  const std::string good = dir.write("good.txt", "1 2 3");
  const std::string bad = dir.write("bad.txt", "1 2\n 3  abc 4\n");
  const std::string empty = dir.write("empty.txt", "");
  const std::string comments = dir.write("comments.txt", "# nothing\n\n  # here\n");
  const std::string npy = npy_image("<f8", false, "(3,)", element_bytes({1, 2, 3}, 8, false));
  const std::string header_cut = dir.write("cut.npy", npy.substr(0, 40));
  const std::string data_cut = dir.write("short.npy", npy.substr(0, npy.size() - 1));
  const std::string wide = dir.write("wide.npy", npy_image("<f8", false, "(1, 3)", element_bytes({1, 2, 3}, 8, false)));
  const std::string raw = dir.write("odd.raw", std::string(12, '\0'));
  const std::string y2 = dir.write("y2.txt", "1 2");
  const std::string missing = dir.path("missing.txt");
  const std::string usage = "\nTry 'sela --help'.\n";
  struct Case {
    std::vector<std::string> args;
    Stdin mode;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"sum", bad}, Stdin::null_device, bad + ":2:5: cannot read 'abc' as a number\n"},
      {{"sum", good, bad}, Stdin::null_device, bad + ":2:5: cannot read 'abc' as a number\n"},
      {{"sum", bad, "--method", "exact"}, Stdin::null_device, bad + ":2:5: cannot read 'abc' as a number\n"},
      {{"sum", missing}, Stdin::null_device, missing + ": cannot open: No such file or directory\n"},
      {{"sum", good, missing}, Stdin::null_device, missing + ": cannot open: No such file or directory\n"},
      {{"sum", dir.path("")}, Stdin::null_device, dir.path("") + ": is a directory\n"},
      {{"sum", empty}, Stdin::null_device, empty + ": empty file\n"},
      {{"stats", comments}, Stdin::null_device, comments + ": no numbers\n"},
      {{"sum", header_cut}, Stdin::null_device, header_cut + ": truncated .npy header\n"},
      {{"sum", data_cut, "--method", "exact"}, Stdin::null_device,
       data_cut + ": truncated .npy file: the header describes 3 values (24 bytes of data), the file holds 23\n"},
      {{"sum", wide}, Stdin::null_device, wide + ": 2-D .npy array (1 x 3): choose a column with --column N\n"},
      {{"sum", raw, "--raw"}, Stdin::null_device, raw + ": 12 bytes is not a whole number of 8-byte values\n"},
      {{"dot", good, y2}, Stdin::null_device, "sela dot: " + good + " has 3 numbers, " + y2 + " has 2\n"},
      {{"sum"}, Stdin::null_device, "<stdin>: empty input\n"},
      {{"sum"}, Stdin::closed, "<stdin>: cannot read: Bad file descriptor\n"},
      {{"sum", "--bogus"}, Stdin::null_device, "sela: unknown option '--bogus'" + usage},
      {{"add", good}, Stdin::null_device, "sela: unknown command 'add' (commands: sum, dot, stats, cumsum)" + usage},
      {{"sum", good, "--method", "fast"}, Stdin::null_device,
       "sela: unknown method 'fast' (naive, pairwise, pairwise_iterative, kahan, neumaier, klein, shewchuk, sum2, k:N, acc, near, exact)" + usage},
      {{"dot", good, y2, "--method", "kahan"}, Stdin::null_device, "sela: unknown method 'kahan' (naive, dot2, k:N, exact)" + usage},
      {{"sum", good, "--method", "k:x"}, Stdin::null_device,
       "sela: unknown method 'k:x' (naive, pairwise, pairwise_iterative, kahan, neumaier, klein, shewchuk, sum2, k:N, acc, near, exact)" + usage},
      {{"stats", good, "--method", "median"}, Stdin::null_device,
       "sela: unknown statistic 'median' (count, sum, mean, norm, condition, centered_squares, variance, stddev)" + usage},
      {{"sum", good, "--threads", "0"}, Stdin::null_device, "sela: --threads needs a number from 1 to 1024, not '0'" + usage},
      {{"sum", good, "--method"}, Stdin::null_device, "sela: option '--method' needs a value" + usage},
      {{"sum", good, "--json=yes"}, Stdin::null_device, "sela: option '--json' takes no value" + usage},
      {{"sum", good, "--raw", "--column", "1"}, Stdin::null_device, "sela: --raw input has no columns" + usage},
      {{"sum", good, "--columns", "1,2"}, Stdin::null_device, "sela: --columns belongs to 'sela dot'; use --column" + usage},
      {{"sum", good, "--column", "0"}, Stdin::null_device, "sela: bad column '0' (a 1-based number or a header name)" + usage},
      {{"dot", good}, Stdin::null_device, "sela: dot needs two files X Y, or one file and --columns A,B" + usage},
      {{"stats", good, "--demo"}, Stdin::null_device, "sela: --demo runs 'sela sum' on the built-in data and takes no FILE" + usage},
  };
  for (const Case &c : cases) {
    const Outcome outcome = run_tool(c.args, c.mode);
    std::string shown;
    for (const std::string &arg : c.args) shown += arg + " ";
    EXPECT_EQ(outcome.status, 2) << shown;
    EXPECT_EQ(outcome.out, "") << shown;
    EXPECT_EQ(outcome.err, c.err) << shown;
  }
}

// ---- Faults found by trying the tool as an adversarial user would ----------------------

namespace faults {

using tool_test::preload;

// An error: nothing on standard output, status 2, exactly this on standard error.
void expect_error(const Outcome &outcome, const std::string &err, const std::string &what) {
  EXPECT_EQ(outcome.status, 2) << what;
  EXPECT_EQ(outcome.out, "") << what;
  EXPECT_EQ(outcome.err, err) << what;
}

std::string usage(const std::string &message) { return "sela: " + message + "\nTry 'sela --help'.\n"; }

// A file cut short (or grown) by another process while the tool reads it: a message
// naming the file, never a crash or a partial result. The shim truncates the file right
// after the tool's first read (or mapping) of it.
TEST_F(ToolTest, FileChangedWhileReadIsAnError) {
  const std::vector<double> big = tool_test::hard_values(20000, 21);
  const std::string text = as_text(big, "\n");
  const std::string raw = element_bytes(big, 8, false);
  const std::string npy = npy_image("<f8", false, "(20000,)", raw);
  struct Case {
    std::string name, bytes;
    std::vector<std::string> options;
  };
  for (const Case &c : std::vector<Case>{{"t.txt", text, {}}, {"r.raw", raw, {"--raw"}}, {"n.npy", npy, {}}}) {
    for (const std::vector<std::string> &mode : {std::vector<std::string>{"--method", "exact"},
                                                 std::vector<std::string>{"--json"}}) {
      std::vector<std::string> args{"sum", dir.write(c.name, c.bytes)};
      args.insert(args.end(), c.options.begin(), c.options.end());
      args.insert(args.end(), mode.begin(), mode.end());
      const std::string size = std::to_string(c.bytes.size());
      expect_error(run_tool(args, Stdin::null_device, "",
                            preload(SELA_TOOL_FAULT_SHIM, {"SELA_SHIM_TRUNCATE=1000:" + args[1]})),
                   args[1] + ": the file shrank while it was read (it ended after 1000 of " + size + " bytes)\n",
                   c.name + " " + mode[0]);
      dir.write(c.name, c.bytes);
      const std::string longer = std::to_string(c.bytes.size() + 4096);
      expect_error(run_tool(args, Stdin::null_device, "",
                            preload(SELA_TOOL_FAULT_SHIM, {"SELA_SHIM_TRUNCATE=" + longer + ":" + args[1]})),
                   args[1] + ": the file changed while it was read\n", c.name + " grown");
    }
  }
}

// Worker threads that cannot be created (a process limit): the slices they would have
// summed are summed by the calling thread, with the same bits; also when the first thread
// started and the second failed, which used to destroy a running thread while unwinding.
TEST_F(ToolTest, ThreadsThatCannotStartLeaveTheirWorkToTheCaller) {
  std::vector<double> big = tool_test::hard_values(std::size_t{1} << 20, 22);  // default threading
  const double want = sela_sum_exact(big.data(), big.size());
  const std::string raw = dir.write("big.raw", element_bytes(big, 8, false));
  const std::string text = dir.write("small.txt", as_text({big.begin(), big.begin() + 3000}, " "));
  const double small_want = sela_sum_exact(big.data(), 3000);
  for (const std::string made : {"0", "1"}) {
    const auto env = preload(SELA_TOOL_FAULT_SHIM, {"SELA_SHIM_THREADS=" + made});
    for (const std::vector<std::string> &threads : {std::vector<std::string>{}, {"--threads", "2"}, {"--threads", "4"}}) {
      std::vector<std::string> args{"sum", raw, "--raw", "--method", "exact"};
      args.insert(args.end(), threads.begin(), threads.end());
      EXPECT_TRUE(same_bits(number_of(run_tool(args, Stdin::null_device, "", env)), want)) << made;
    }
    const Outcome json = run_tool({"sum", text, "--json", "--threads", "3"}, Stdin::null_device, "", env);
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"exact_hex\": \"" + sela_tool::hexadecimal(small_want) + "\""), std::string::npos);
  }
}

// Standard input closed: '-' is an error, not the file that happened to get descriptor
// 0. '-' twice is refused rather than read twice.
TEST_F(ToolTest, StandardInputClosedOrGivenTwice) {
  const std::string a = dir.write("a.txt", "1 2 3");
  for (const std::vector<std::string> &args : {std::vector<std::string>{"sum", a, "-", "--method", "exact"},
                                                {"sum", a, "-", "--method", "naive"}, {"sum", a, "-"},
                                                {"stats", a, "-"}})
    expect_error(run_tool(args, Stdin::closed), "<stdin>: cannot read: Bad file descriptor\n", args.back());
  const std::string err = usage("standard input ('-') can be read only once");
  expect_error(run_tool({"sum", "-", "-"}, Stdin::file, a), err, "- -");
  expect_error(run_tool({"sum", "-", a, "-", "--method", "exact"}, Stdin::file, a), err, "- a -");
}

// Quoted fields as RFC 4180 has them: separators, doubled quotes and line breaks inside.
TEST_F(ToolTest, QuotedFieldsHoldLineBreaks) {
  const std::string q = dir.write("q.csv", "a,b,c\n\"1,2\n3\",4,5\n6,7,8\n");
  EXPECT_EQ(run_tool({"sum", q, "--column", "b", "--method", "exact"}).out, "11\n");
  EXPECT_EQ(run_tool({"sum", q, "--column", "3", "--method", "exact"}).out, "13\n");
  const std::string notes = dir.write("n.csv", "note;x\n\"say \"\"hi\"\";\n# not a comment\";0.5\n\"\"; \"2\" \r\n");
  EXPECT_EQ(run_tool({"sum", notes, "--column", "x", "--method", "naive"}).out, "2.5\n");
  expect_error(run_tool({"sum", dir.write("open.csv", "a\n1\n\"2\n"), "--column", "a"}),
               dir.path("open.csv") + ":3:1: the quoted field is not closed\n", "unclosed");
}

// The first row is the header by --header, by a column chosen by name, or because a
// chosen field there is not a number; never because of another column.
TEST_F(ToolTest, HeaderDecidedByTheChosenColumnsOnly) {
  const std::string years = dir.write("y.csv", "2020,2021\n1,2\n3,4\n");
  EXPECT_EQ(run_tool({"sum", years, "--column", "1", "--method", "exact"}).out, "2024\n");
  EXPECT_EQ(run_tool({"sum", years, "--column", "1", "--method", "exact", "--header"}).out, "4\n");
  const std::string other = dir.write("o.csv", "1,2,x\n3,4,y\n");
  const Outcome data = run_tool({"sum", other, "--column", "1", "--method", "exact"});
  EXPECT_EQ(data.out, "4\n");
  EXPECT_EQ(data.err, "");
  const std::string named = dir.write("n.csv", "day,deposit\n1,0.5\n2,0.25\n");
  const Outcome guessed = run_tool({"sum", named, "--column", "2", "--method", "exact"});
  EXPECT_EQ(guessed.out, "0.75\n");
  EXPECT_EQ(guessed.err, named + ":1: first row read as the header ('deposit' in column 2 is not a number; "
                                 "--header or --no-header decides)\n");
  expect_error(run_tool({"sum", named, "--column", "2", "--no-header"}),
               named + ":1:5: cannot read 'deposit' as a number\n", "--no-header");
  expect_error(run_tool({"sum", dir.write("d.csv", "a,b,a\n1,2,3\n"), "--column", "a"}),
               dir.path("d.csv") + ":1: columns 1 and 3 are both named 'a'; choose one by its number\n", "dup");
  expect_error(run_tool({"sum", named, "--column", "deposit", "--no-header"}),
               usage("column 'deposit' is chosen by name, which needs the header row (--no-header)"), "name");
}

// K of the K-fold methods is bounded, for sums and dot products alike: a usage error
// beyond, at once, rather than minutes of work or the library's exit.
TEST_F(ToolTest, OrderKIsBounded) {
  const std::string f = dir.write("x.txt", as_text(x, " "));
  EXPECT_TRUE(same_bits(number_of(run_tool({"sum", f, "--method", "k:4096"})), sela_sum_k(x.data(), x.size(), 4096)));
  EXPECT_TRUE(same_bits(number_of(run_tool({"dot", f, f, "--method", "k:4096"})),
                        sela_dot_k(x.data(), x.data(), x.size(), 4096)));
  const std::string bound = "K must be a whole number from 1 to 4096 (no input gains accuracy beyond)";
  for (const std::string k : {"100000", "4097", "2147483647", "99999999999999999999", "0"}) {
    expect_error(run_tool({"dot", f, f, "--method", "k:" + k}), usage("method 'k:" + k + "': " + bound), k);
    expect_error(run_tool({"sum", f, "--method", "k:" + k}), usage("method 'k:" + k + "': " + bound), k);
  }
}

// The grades that allocate, with every allocation of libsela failing: the library ends
// its process with status 1, and that must not be the tool's. The exact sum needs no
// memory and still works.
TEST_F(ToolTest, LibraryOutOfMemoryIsTheToolsError) {
#ifdef SELA_TOOL_SANITIZED
  GTEST_SKIP() << "the allocation shim would replace the sanitizer's allocator";
#endif
  const std::string f = dir.write("m.txt", as_text(x, "\n"));
  const auto env = preload(SELA_TOOL_OOM_SHIM, {});
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"sum", f, "--method", "pairwise_iterative"}, {"sum", f, "--method", "k:100"},
        {"sum", f, "--json"}, {"sum", f}, {"dot", f, f, "--method", "k:5"}})
    expect_error(run_tool(args, Stdin::null_device, "", env), "sela: out of memory\n", args.back());
  // The Shewchuk sum of finite data is the exact engine's, which allocates nothing.
  EXPECT_TRUE(same_bits(number_of(run_tool({"sum", f, "--method", "shewchuk"}, Stdin::null_device, "", env)),
                        sela_sum_shewchuk(x.data(), x.size())));
  EXPECT_TRUE(same_bits(number_of(run_tool({"sum", f, "--method", "exact"}, Stdin::null_device, "", env)),
                        sela_sum_exact(x.data(), x.size())));
  EXPECT_TRUE(same_bits(number_of(run_tool({"sum", f, "--method", "kahan"}, Stdin::null_device, "", env)),
                        sela_sum_kahan(x.data(), x.size())));
}

// The sample standard deviation of finite data is finite whenever the true one is: near
// the top of the range (the variance itself beyond it) and near the bottom (the squares
// below it), within a few units of the value computed in 64-bit-mantissa long double.
TEST_F(ToolTest, DeviationFiniteWhenTheTrueOneIs) {
  const auto deviation = [](const std::vector<double> &v) {
    long double mean = 0;
    for (const double e : v) mean += e;
    mean /= static_cast<long double>(v.size());
    long double squares = 0;
    for (const double e : v) squares += (e - mean) * (e - mean);
    return static_cast<double>(std::sqrt(squares / static_cast<long double>(v.size() - 1)));
  };
  std::vector<std::vector<double>> sets = {{1e308, 1e308, -1e308}, {1.7e308, -1.7e308, 0, 1e300}};
  std::vector<double> tiny, huge;
  for (std::size_t i = 0; i < 200; ++i) {
    tiny.push_back(x[i] * 0x1p-560);
    huge.push_back(x[i] * 0x1p+900);
  }
  sets.push_back(tiny);
  sets.push_back(huge);
  for (const std::vector<double> &v : sets) {
    const std::string f = dir.write("s.txt", as_text(v, " "));
    const double got = number_of(run_tool({"stats", f, "--method", "stddev"}));
    const double want = deviation(v);
    ASSERT_TRUE(std::isfinite(want));
    EXPECT_LE(std::fabs(got - want), 4 * (std::nextafter(want, INFINITY) - want)) << got << " vs " << want;
  }
  const Outcome json = run_tool({"stats", dir.write("o.txt", "1e308 1e308 -1e308"), "--json"});
  EXPECT_NE(json.out.find("\"variance\": \"inf\", \"stddev\": 1.1547005383792515e+308, \"variance_overflows\": true"),
            std::string::npos) << json.out;
  const Outcome text = run_tool({"stats", dir.path("o.txt")});
  EXPECT_NE(text.out.find("sample variance           inf  (beyond the largest double)"), std::string::npos) << text.out;
}

// Smaller faults: hexadecimal infinities and NaNs are not numbers; a NaN prints as nan
// whatever its sign; file names that are not UTF-8 are escaped in JSON.
TEST_F(ToolTest, SmallerFaults) {
  for (const std::string token : {"0xinf", "0xnan", "-0xINF", "0xinfinity", "0x.p1"})
    expect_error(run_tool({"sum", dir.write("h.txt", "1 " + token)}),
                 dir.path("h.txt") + ":1:3: cannot read '" + token + "' as a number\n", token);
  const std::string nan = dir.write("nan.txt", "inf -inf 1");
  EXPECT_EQ(run_tool({"sum", nan, "--method", "naive"}).out, "nan\n");
  EXPECT_EQ(run_tool({"sum", nan, "--method", "exact"}).out, "nan\n");
  const Outcome json = run_tool({"sum", nan, "--json"});
  EXPECT_EQ(json.out.find("-nan"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"exact\": \"nan\", \"exact_hex\": \"nan\""), std::string::npos) << json.out;
  const std::string odd = dir.write("b\xff\xc3\xa9\xed\xa0\x80.txt", "1 2");
  const Outcome named = run_tool({"sum", odd, "--json"});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_NE(named.out.find("b\\udcff\xc3\xa9\\udced\\udca0\\udc80.txt\""), std::string::npos) << named.out;
}

// Empty fields (matplotlib's Stocks.csv has them for missing prices) are an error with a
// hint, or with --missing skip the rows are left out and counted.
TEST_F(ToolTest, MissingValues) {
  const std::string stocks = dir.write("stocks.csv", "date,AAPL,GOOG\n2000,1.5,\n2001,,2\n2002,2.5,3\n2003\n");
  expect_error(run_tool({"sum", stocks, "--column", "AAPL"}),
               stocks + ":3:6: empty field in column 2 (--missing skip leaves out the rows with missing values)\n",
               "default");
  const Outcome value = run_tool({"sum", stocks, "--column", "AAPL", "--missing", "skip", "--method", "exact"});
  EXPECT_EQ(value.out, "4\n");
  EXPECT_EQ(value.err, "sela: 2 rows with missing values left out\n");
  const Outcome json = run_tool({"sum", stocks, "--column", "AAPL", "--missing=skip", "--json"});
  EXPECT_NE(json.out.find("\"count\": 2, \"skipped_rows\": 2, \"exact\": 4,"), std::string::npos) << json.out;
  EXPECT_NE(run_tool({"stats", stocks, "--column", "GOOG", "--missing", "skip"}).out.find("rows skipped             2 (missing values)"),
            std::string::npos);
  // A dot product leaves out the rows where either column is missing: the pairs stay.
  EXPECT_EQ(run_tool({"dot", stocks, "--columns", "AAPL,GOOG", "--missing", "skip", "--method", "exact"}).out, "7.5\n");
  expect_error(run_tool({"sum", stocks, "--missing", "maybe", "--column", "2"}),
               usage("--missing takes skip or error, not 'maybe'"), "maybe");
  expect_error(run_tool({"sum", stocks, "--missing", "skip"}),
               usage("--header, --no-header and --missing apply to tables read with --column or --columns"), "no column");
}

// Each command has its help; options may come before the command.
TEST_F(ToolTest, HelpPerCommandAndOptionsFirst) {
  for (const std::string command : {"sum", "dot", "stats", "cumsum"}) {
    const std::string head = "Usage: sela " + command + " [OPTIONS]";
    EXPECT_EQ(run_tool({command, "--help"}).out.rfind(head, 0), 0u) << command;
    EXPECT_EQ(run_tool({"help", command}).out.rfind(head, 0), 0u) << command;
    EXPECT_EQ(run_tool({"--help", command}).out.rfind(head, 0), 0u) << command;
  }
  EXPECT_EQ(run_tool({"help"}).out.rfind("Usage: sela [COMMAND]", 0), 0u);
  const std::string f = dir.write("f.txt", "0.5 0.25");
  EXPECT_EQ(run_tool({"--method", "exact", "sum", f}).out, "0.75\n");
  const Outcome json = run_tool({"--json", "stats", f});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.rfind("{\"command\": \"stats\"", 0), 0u) << json.out;
  EXPECT_EQ(run_tool({"--threads", "2", "dot", f, f, "--method", "exact"}).out, "0.3125\n");
}

// The other spellings of the front ends' one method table (its canonical names are
// checked above) reach the same exports.
TEST_F(ToolTest, AliasesOfTheMethodTable) {
  const std::string f = dir.write("x.txt", as_text(x, " "));
  const std::vector<std::pair<std::string, double>> aliases = {
      {"oro", sela_sum_oro(x.data(), x.size())}, {"accsum", sela_sum_acc(x.data(), x.size())},
      {"nearsum", sela_sum_near(x.data(), x.size())}, {"sumk", sela_sum_k(x.data(), x.size(), 3)},
      {"pairwise-iterative", sela_sum_pairwise_iterative(x.data(), x.size())}};
  for (const auto &[name, want] : aliases)
    EXPECT_TRUE(same_bits(number_of(run_tool({"sum", f, "--method", name})), want)) << name;
  EXPECT_TRUE(same_bits(number_of(run_tool({"dot", f, f, "--method", "dotk"})), sela_dot_k(x.data(), x.data(), x.size(), 3)));
}

// ---- sela cumsum ---------------------------------------------------------------------------

// The lines printed, read back.
std::vector<double> lines_of(const Outcome &outcome) {
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  std::vector<double> values;
  std::size_t at = 0;
  for (std::size_t end; (end = outcome.out.find('\n', at)) != std::string::npos; at = end + 1) {
    double v = NAN;
    EXPECT_TRUE(sela_tool::parse_number(outcome.out.substr(at, end - at), v)) << outcome.out.substr(at, end - at);
    values.push_back(v);
  }
  EXPECT_EQ(at, outcome.out.size()) << "the last line ends with a line feed";
  return values;
}

::testing::AssertionResult same_series(const std::vector<double> &want, const std::vector<double> &got) {
  if (want.size() != got.size())
    return ::testing::AssertionFailure() << got.size() << " lines, " << want.size() << " wanted";
  for (std::size_t i = 0; i < want.size(); ++i)
    if (!same_bits(want[i], got[i])) return ::testing::AssertionFailure() << "line " << i + 1 << ": " << got[i];
  return ::testing::AssertionSuccess();
}

std::vector<double> library_cumsum(const std::vector<double> &x) {
  std::vector<double> out(x.size());
  sela_cumsum_exact(x.data(), out.data(), x.size());
  return out;
}

// Every format, from files and from standard input, each line the library's running sum
// to the bit: inputs longer than the tool's blocks of 65536 numbers, and several inputs
// continuing one series.
TEST_F(ToolTest, CumsumEveryFormatAcrossBlocksAndInputs) {
  const std::vector<double> y = tool_test::hard_values(150000, 21);
  const std::vector<double> head(y.begin(), y.begin() + 70000);
  const std::vector<double> tail(y.begin() + 70000, y.end());
  std::string csv = "t,v\n";
  for (std::size_t i = 0; i < 1000; ++i) csv += std::to_string(i) + "," + as_text({y[i]}, "") + "\n";
  const std::string text = dir.write("y.txt", as_text(y, "\n"));
  const std::string npy = dir.write("y.npy", npy_image("<f8", false, "(150000,)", element_bytes(y, 8, false)));
  const std::string swapped = dir.write("be.npy", npy_image(">f8", false, "(150000,)", element_bytes(y, 8, true)));
  const std::string raw = dir.write("y.raw", element_bytes(y, 8, false));
  const std::string table = dir.write("y.csv", csv);
  const std::string first = dir.write("head.txt", as_text(head, " "));
  const std::string rest = dir.write("tail.npy", npy_image("<f8", false, "(80000,)", element_bytes(tail, 8, false)));
  const std::vector<double> want = library_cumsum(y);
  EXPECT_TRUE(same_series(want, lines_of(run_tool({"cumsum", text}))));
  EXPECT_TRUE(same_series(want, lines_of(run_tool({"cumsum", npy}))));
  EXPECT_TRUE(same_series(want, lines_of(run_tool({"cumsum", swapped}))));
  EXPECT_TRUE(same_series(want, lines_of(run_tool({"cumsum", "--raw", raw}))));
  EXPECT_TRUE(same_series(want, lines_of(run_tool({"cumsum", "-", "--raw"}, Stdin::file, raw))));
  EXPECT_TRUE(same_series(want, lines_of(run_tool({"cumsum"}, Stdin::file, npy))));
  EXPECT_TRUE(same_series(want, lines_of(run_tool({"cumsum", first, rest}))));
  EXPECT_TRUE(same_series(library_cumsum({y.begin(), y.begin() + 1000}),
                          lines_of(run_tool({"cumsum", table, "--column", "v"}))));
  // The plain running sum of these data drifts: the exact one is what is being tested.
  double plain = 0.0;
  std::size_t differ = 0;
  for (std::size_t i = 0; i < y.size(); ++i) differ += !same_bits(plain += y[i], want[i]);
  EXPECT_GT(differ, y.size() / 10);
}

TEST_F(ToolTest, CumsumJsonMissingValuesAndErrors) {
  const std::string f = dir.write("f.txt", "1e308 1e308 -1e308 inf -inf 1");
  EXPECT_EQ(run_tool({"cumsum", f, "--json"}).out,
            "{\"command\": \"cumsum\", \"input\": \"" + f +
                "\", \"values\": [1e+308, \"inf\", 1e+308, \"inf\", \"nan\", \"nan\"], \"count\": 6, \"skipped_rows\": 0}\n");
  const std::string stocks = dir.write("stocks.csv", "date,AAPL\n2000,1.5\n2001,\n2002,2.5\n");
  const Outcome skipped = run_tool({"cumsum", stocks, "--column", "AAPL", "--missing", "skip"});
  EXPECT_EQ(skipped.out, "1.5\n4\n");
  EXPECT_EQ(skipped.err, "sela: 1 rows with missing values left out\n");
  EXPECT_NE(run_tool({"cumsum", stocks, "--column", "AAPL", "--missing", "skip", "--json"}).out.find(
                "\"values\": [1.5, 4], \"count\": 2, \"skipped_rows\": 1}"),
            std::string::npos);
  const std::string good = dir.write("good.txt", "1 2 3");
  const std::string bad = dir.write("bad.txt", "x 4");
  const std::string comments = dir.write("comments.txt", "# nothing\n");
  expect_error(run_tool({"cumsum", good, "--method", "exact"}),
               usage("cumsum takes no --method or --threads: its one result is the exact running sum, in one pass"),
               "method");
  expect_error(run_tool({"cumsum", good, "--threads", "2"}),
               usage("cumsum takes no --method or --threads: its one result is the exact running sum, in one pass"),
               "threads");
  expect_error(run_tool({"cumsum", comments}), comments + ": no numbers\n", "no numbers");
  expect_error(run_tool({"cumsum"}), "<stdin>: empty input\n", "empty input");
  // The sums are written as they are computed: an input error stops the series there.
  const Outcome stopped = run_tool({"cumsum", good, bad});
  EXPECT_EQ(stopped.status, 2);
  EXPECT_EQ(stopped.out, "1\n3\n6\n");
  EXPECT_EQ(stopped.err, bad + ":1:1: cannot read 'x' as a number\n");
}

}  // namespace faults

}  // namespace
