// libFuzzer target over the tool's readers. Any byte sequence must give numbers or a
// ReadError, never a crash or a read outside the input; and feeding the same bytes
// whole or in pieces must give the same numbers, or the same message.
//
// The first input byte chooses the reader and its column choices, the second the
// lengths of the pieces (low five bits) and the table's header and missing-value modes
// (high three bits); the rest is the input itself.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "number_parse.h"
#include "readers.h"

namespace {

using sela_tool::ColumnChoice;
using sela_tool::Format;

struct Outcome {
  std::vector<std::vector<double>> columns;
  std::string error;
};

Outcome decode(Format format, const sela_tool::TableOptions &table, std::string_view bytes,
               std::size_t piece) {
  Outcome outcome;
  try {
    const auto reader = sela_tool::make_reader(format, "fuzz", table);
    outcome.columns.resize(reader->columns().size());
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      reader->feed(bytes.substr(at, piece));
      for (std::size_t k = 0; k < outcome.columns.size(); ++k) {
        auto &column = reader->columns()[k];
        outcome.columns[k].insert(outcome.columns[k].end(), column.begin(), column.end());
        column.clear();
      }
    }
    reader->finish();
    for (std::size_t k = 0; k < outcome.columns.size(); ++k) {
      auto &column = reader->columns()[k];
      outcome.columns[k].insert(outcome.columns[k].end(), column.begin(), column.end());
    }
  } catch (const sela_tool::ReadError &error) {
    outcome.error = error.what();
    outcome.columns.clear();
  }
  return outcome;
}

bool same(const Outcome &a, const Outcome &b) {
  if (a.error != b.error || a.columns.size() != b.columns.size()) return false;
  for (std::size_t k = 0; k < a.columns.size(); ++k) {
    if (a.columns[k].size() != b.columns[k].size()) return false;
    if (a.columns[k].size() > 0 &&
        std::memcmp(a.columns[k].data(), b.columns[k].data(), a.columns[k].size() * sizeof(double)) != 0)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned mode = data[0];
  const std::size_t piece = 1 + data[1] % 32;
  const std::string_view bytes(reinterpret_cast<const char *>(data) + 2, size - 2);

  static const std::vector<std::vector<ColumnChoice>> kChoices = {
      {}, {ColumnChoice{1, {}}}, {ColumnChoice{2, {}}}, {ColumnChoice{0, "x"}},
      {ColumnChoice{2, {}}, ColumnChoice{0, "b"}}, {ColumnChoice{1, {}}, ColumnChoice{3, {}}}};
  const Format format = mode % 3 == 0 ? Format::text : mode % 3 == 1 ? Format::npy : Format::raw;
  sela_tool::TableOptions table;
  table.choices = format == Format::raw ? kChoices[0] : kChoices[mode / 3 % kChoices.size()];
  const unsigned table_mode = data[1] >> 5;
  table.header = table_mode % 3 == 0   ? sela_tool::HeaderMode::guess
                 : table_mode % 3 == 1 ? sela_tool::HeaderMode::present
                                       : sela_tool::HeaderMode::absent;
  table.missing = table_mode >= 4 ? sela_tool::MissingMode::skip : sela_tool::MissingMode::error;

  const Outcome whole = decode(format, table, bytes, bytes.size() + 1);
  const Outcome pieces = decode(format, table, bytes, piece);
  if (!same(whole, pieces)) std::abort();

  if (format == Format::npy) {
    // A run read straight from the file, when offered, must hold what the reader decodes.
    try {
      const auto header = sela_tool::parse_npy_header(bytes, "fuzz");
      const auto run = header ? sela_tool::npy_float64_run(*header, "fuzz", table.choices, bytes.size())
                              : std::nullopt;
      if (run && (!whole.error.empty() || whole.columns.size() != 1 ||
                  run->count != whole.columns[0].size() || run->offset + run->count * 8 > bytes.size() ||
                  (run->count > 0 &&
                   std::memcmp(bytes.data() + run->offset, whole.columns[0].data(), run->count * 8) != 0)))
        std::abort();
    } catch (const sela_tool::ReadError &) {
      if (whole.error.empty()) std::abort();
    }
  }
  double value;
  sela_tool::parse_number(bytes.substr(0, 64), value);
  return 0;
}
