// A small CIF tokenizer (STAR syntax as mmCIF uses it: blank-separated values, quotes closed
// only before a blank, text fields between lines opening with ';', '#' comments) and the
// C-alpha rows of the _atom_site table.
#include "kelda/io/mmcif_reader.hpp"

#include <algorithm>  // stable_sort
#include <array>
#include <compare>  // the ordering of row keys
#include <cmath>  // nearbyint, NAN
#include <string>
#include <unordered_map>

#include "kelda/io/text.hpp"

namespace kelda {

namespace {

struct Token {
  std::string_view text;
  bool quoted = false;  // a quoted string or text field: never a keyword, a tag or a null
};

bool blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool starts_with_ci(std::string_view s, std::string_view prefix) noexcept {
  if (s.size() < prefix.size()) return false;
  for (std::size_t k = 0; k < prefix.size(); ++k)
    if (lower(s[k]) != prefix[k]) return false;
  return true;
}

bool equals_ci(std::string_view s, std::string_view t) noexcept {
  return s.size() == t.size() && starts_with_ci(s, t);
}

class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : t_(text) {}

  // The next token; false at the end. A malformed quote or text field sets error().
  bool next(Token& tok) {
    if (pending_) {
      tok = *pending_;
      pending_.reset();
      return true;
    }
    for (;;) {
      while (pos_ < t_.size() && blank(t_[pos_])) ++pos_;
      if (pos_ >= t_.size()) return false;
      const char c = t_[pos_];
      if (c == '#') {
        while (pos_ < t_.size() && t_[pos_] != '\n') ++pos_;
        continue;
      }
      if (c == ';' && (pos_ == 0 || t_[pos_ - 1] == '\n')) return text_field(tok);
      if (c == '\'' || c == '"') return quoted(tok, c);
      const std::size_t start = pos_;
      while (pos_ < t_.size() && !blank(t_[pos_])) ++pos_;
      tok = Token{t_.substr(start, pos_ - start), false};
      return true;
    }
  }
  void push_back(const Token& tok) { pending_ = tok; }
  const std::optional<std::string>& error() const noexcept { return error_; }

 private:
  bool quoted(Token& tok, char q) {
    const std::size_t start = ++pos_;
    for (; pos_ < t_.size(); ++pos_) {
      if (t_[pos_] == '\n') break;
      if (t_[pos_] == q && (pos_ + 1 == t_.size() || blank(t_[pos_ + 1]))) {
        tok = Token{t_.substr(start, pos_ - start), true};
        ++pos_;
        return true;
      }
    }
    error_ = "a quoted value is not closed on its line (line " + line_of(start) + ")";
    return false;
  }
  bool text_field(Token& tok) {
    const std::size_t start = ++pos_;
    for (std::size_t at = t_.find("\n;", start); at != std::string_view::npos;
         at = t_.find("\n;", at + 1)) {
      std::size_t end = at;
      if (end > start && t_[end - 1] == '\r') --end;
      tok = Token{t_.substr(start, end - start), true};
      pos_ = at + 2;
      return true;
    }
    error_ = "a text field (opened by ';') is not closed (line " + line_of(start) + ")";
    return false;
  }
  std::string line_of(std::size_t at) const {
    return std::to_string(1 + std::count(t_.begin(), t_.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
  }

  std::string_view t_;
  std::size_t pos_ = 0;
  std::optional<Token> pending_;
  std::optional<std::string> error_;
};

bool is_null(const Token& tok) noexcept {
  return !tok.quoted && (tok.text == "?" || tok.text == ".");
}

bool is_keyword(const Token& tok) noexcept {
  if (tok.quoted) return false;
  return starts_with_ci(tok.text, "data_") || starts_with_ci(tok.text, "save_") ||
         equals_ci(tok.text, "loop_") || equals_ci(tok.text, "global_") ||
         equals_ci(tok.text, "stop_");
}

bool ends_values(const Token& tok) noexcept {
  return !tok.quoted && (is_keyword(tok) || (!tok.text.empty() && tok.text[0] == '_'));
}

// The columns of _atom_site that the structure is built from.
enum Column : int {
  kGroup, kElement, kLabelAtom, kAuthAtom, kAltloc, kLabelComp, kAuthComp, kLabelAsym,
  kAuthAsym, kLabelSeq, kAuthSeq, kInsertion, kX, kY, kZ, kB, kModel, kColumns
};
constexpr std::array<std::string_view, kColumns> kColumnNames = {
    "group_pdb", "type_symbol", "label_atom_id", "auth_atom_id", "label_alt_id",
    "label_comp_id", "auth_comp_id", "label_asym_id", "auth_asym_id", "label_seq_id",
    "auth_seq_id", "pdbx_pdb_ins_code", "cartn_x", "cartn_y", "cartn_z", "b_iso_or_equiv",
    "pdbx_pdb_model_num"};

using ColumnMap = std::array<int, kColumns>;  // position of each column in a row, or -1

ColumnMap map_columns(const std::vector<std::string_view>& tags) {
  ColumnMap map;
  map.fill(-1);
  for (std::size_t k = 0; k < tags.size(); ++k) {
    const std::string_view name = tags[k].substr(std::string_view("_atom_site.").size());
    for (int c = 0; c < kColumns; ++c)
      if (equals_ci(name, kColumnNames[static_cast<std::size_t>(c)]) && map[static_cast<std::size_t>(c)] < 0)
        map[static_cast<std::size_t>(c)] = static_cast<int>(k);
  }
  return map;
}

// An atom table without one of the coordinate columns holds no atom (gemmi reads none): the
// column is named rather than the chain found empty.
std::optional<CoreError> missing_coordinates(const ColumnMap& map) {
  for (Column c : {kX, kY, kZ})
    if (map[static_cast<std::size_t>(c)] < 0)
      return CoreError::refusal(ErrorKind::PdbParse,
                                "the atom table (_atom_site) has no Cartn_" +
                                    std::string(1, static_cast<char>('x' + (c - kX))) + " column");
  return std::nullopt;
}

// One row's values by column: absent columns and nulls read as empty.
class Row {
 public:
  Row(const ColumnMap& map, const std::vector<Token>& values) : map_(map), values_(values) {}
  const Token* get(Column c) const {
    const int k = map_[static_cast<std::size_t>(c)];
    if (k < 0 || is_null(values_[static_cast<std::size_t>(k)])) return nullptr;
    return &values_[static_cast<std::size_t>(k)];
  }
  // gemmi's choice: the author's value where the file gives one, the label's otherwise.
  std::string_view either(Column author, Column label) const {
    if (const Token* t = get(author)) return t->text;
    if (const Token* t = get(label)) return t->text;
    return {};
  }

 private:
  const ColumnMap& map_;
  const std::vector<Token>& values_;
};

Char first_char(const Token* t) noexcept {
  return t && !t->text.empty() ? static_cast<Char>(static_cast<unsigned char>(t->text[0])) : U' ';
}

double coordinate(const Token* t) {
  if (!t) return NAN;
  return parse_decimal(t->text).value_or(NAN);
}

// gemmi holds B-factors in single precision and the toolkit rounds them to three decimals.
double b_factor(const Token* t) {
  const double v = coordinate(t);
  if (!std::isfinite(v)) return v;
  return std::nearbyint(static_cast<double>(static_cast<float>(v)) * 1000.0) / 1000.0;
}

std::optional<std::int64_t> integer(std::string_view text) {
  if (auto v = parse_i32(text)) return *v;
  return std::nullopt;
}

void add_row(const Row& row, std::vector<AtomRow>& out) {
  if (row.either(kAuthAtom, kLabelAtom) != "CA") return;
  AtomRow& a = out.emplace_back();
  const Token* group = row.get(kGroup);
  a.hetero = group && equals_ci(group->text, "hetatm");
  const Token* element = row.get(kElement);
  a.calcium = element && equals_ci(element->text, "ca");
  a.altloc = first_char(row.get(kAltloc));
  a.insertion = first_char(row.get(kInsertion));
  a.residue_name = std::string(row.either(kAuthComp, kLabelComp));
  a.chain = std::string(row.either(kAuthAsym, kLabelAsym));
  const auto number = integer(row.either(kAuthSeq, kLabelSeq));
  a.number = std::to_string(number.value_or(0));
  a.position = {coordinate(row.get(kX)), coordinate(row.get(kY)), coordinate(row.get(kZ))};
  a.b_factor = b_factor(row.get(kB));
  const Token* model = row.get(kModel);
  a.model = model ? integer(model->text).value_or(1) : 1;
}

// gemmi's structure keeps the atoms of one model together (models in order of appearance)
// and, within a run of rows of one chain, the atoms of one residue together. Files list them
// that way already; the rare file that does not is put in that order.
void gemmi_order(std::vector<AtomRow>& rows) {
  struct Key {
    std::size_t model, run, residue;
    auto operator<=>(const Key&) const = default;
  };
  std::vector<Key> keys(rows.size());
  std::unordered_map<std::int64_t, std::size_t> model_rank;
  std::unordered_map<std::string, std::size_t> residue_rank;
  std::size_t run = 0;
  bool reorder = false;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const AtomRow& r = rows[k];
    const bool new_model = k == 0 || r.model != rows[k - 1].model;
    if (new_model || r.chain != rows[k - 1].chain) {
      residue_rank.clear();
      ++run;
    }
    const auto [m, first_time] = model_rank.try_emplace(r.model, model_rank.size());
    if (new_model && !first_time) reorder = true;  // a model resumed after another
    std::string id = r.number;
    append_utf8(id, r.insertion);
    id += '\0';
    id += r.residue_name;
    const auto [it, added] = residue_rank.try_emplace(std::move(id), residue_rank.size());
    // A residue met again after another one of its run.
    if (!added && keys[k - 1].residue != it->second) reorder = true;
    keys[k] = Key{m->second, run, it->second};
  }
  if (!reorder) return;
  std::vector<std::size_t> order(rows.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return keys[x] < keys[y]; });
  std::vector<AtomRow> sorted;
  sorted.reserve(rows.size());
  for (std::size_t k : order) sorted.push_back(std::move(rows[k]));
  rows = std::move(sorted);
}

CoreError parse_error(const std::string& message) {
  return CoreError::refusal(ErrorKind::PdbParse, "mmCIF parse error: " + message);
}

}  // namespace

Result<std::vector<AtomRow>> read_mmcif_ca_rows(std::string_view text) {
  Tokenizer tz(text);
  Token tok;
  bool in_block = false, found = false;
  std::vector<AtomRow> rows;
  std::vector<std::string_view> pair_tags;
  std::vector<Token> pair_values;
  std::optional<CoreError> missing;  // reported once the text is known to parse
  while (tz.next(tok)) {
    if (!tok.quoted && starts_with_ci(tok.text, "data_")) {
      if (in_block) break;  // the first data block only, as gemmi reads a structure
      in_block = true;
      continue;
    }
    if (!tok.quoted && equals_ci(tok.text, "loop_")) {
      std::vector<std::string_view> tags;
      while (tz.next(tok)) {
        if (tok.quoted || tok.text.empty() || tok.text[0] != '_') {
          tz.push_back(tok);
          break;
        }
        tags.push_back(tok.text);
      }
      if (tz.error()) break;
      const bool atoms = !tags.empty() && starts_with_ci(tags[0], "_atom_site.");
      const ColumnMap map = atoms ? map_columns(tags) : ColumnMap{};
      if (atoms) missing = missing_coordinates(map);
      std::vector<Token> values;
      values.reserve(tags.size());
      while (tz.next(tok)) {
        if (ends_values(tok)) {
          tz.push_back(tok);
          break;
        }
        if (!atoms) continue;
        values.push_back(tok);
        if (values.size() == tags.size()) {
          add_row(Row(map, values), rows);
          values.clear();
        }
      }
      if (tz.error()) break;
      if (atoms) {
        if (!values.empty())
          return parse_error("the atom table (_atom_site) ends inside a row: " +
                             std::to_string(values.size()) + " of its " +
                             std::to_string(tags.size()) + " values");
        found = true;
        break;  // one atom table a block
      }
      continue;
    }
    if (!tok.quoted && !tok.text.empty() && tok.text[0] == '_') {
      const std::string_view tag = tok.text;
      if (!tz.next(tok) || ends_values(tok)) {
        if (tz.error()) break;
        return parse_error("no value for " + std::string(tag));
      }
      if (starts_with_ci(tag, "_atom_site.")) {
        pair_tags.push_back(tag);
        pair_values.push_back(tok);
      }
    }
  }
  if (tz.error()) return parse_error(*tz.error());
  if (missing) return std::move(*missing);
  if (!found && !pair_tags.empty()) {
    found = true;
    const ColumnMap map = map_columns(pair_tags);
    if (auto absent = missing_coordinates(map)) return std::move(*absent);
    add_row(Row(map, pair_values), rows);
  }
  if (!in_block) return parse_error("no data block (data_)");
  if (!found)
    return CoreError::refusal(ErrorKind::PdbParse,
                              "no protein chain: no atoms (_atom_site) in the mmCIF file");
  gemmi_order(rows);
  return rows;
}

Result<ModelTrace> read_mmcif_model_text(std::string_view text, std::optional<std::int64_t> model) {
  auto rows = read_mmcif_ca_rows(text);
  if (!rows) return std::move(rows).error();
  return trace_atom_rows(*rows, model);
}

}  // namespace kelda
