#include "catalogue/catalogue_data.h"

#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <unordered_set>

#include "platform/text.h"

namespace quobble::catalogue {
namespace {

enum Column {
  kId,
  kTitle,
  kLowPrice,
  kHighPrice,
  kMall,
  kMaker,
  kBrand,
  kProductType,
  kCategory1,
  kCategory2,
  kCategory3,
  kCategory4,
  kUpdated,
  kColumnCount
};

constexpr std::string_view kColumnNames[kColumnCount] = {
    "id",          "title",     "lprice",    "hprice",    "mallName",  "maker",  "brand",
    "productType", "category1", "category2", "category3", "category4", "updated"};

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t from = 0;
  while (true) {
    size_t tab = line.find('\t', from);
    if (tab == std::string_view::npos) {
      fields.push_back(line.substr(from));
      return fields;
    }
    fields.push_back(line.substr(from, tab - from));
    from = tab + 1;
  }
}

bool ParseInt(std::string_view text, int64_t low, int64_t high, int64_t& out) {
  long long value = 0;
  if (!ParseWholeNumber(text, low, high, value)) return false;
  out = value;
  return true;
}

bool IsDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "YYYY-MM-DD HH:MM:SS": the date sort compares these as text.
bool IsTimestamp(std::string_view s) {
  if (s.size() != 19) return false;
  if (s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' || s[16] != ':') return false;
  return IsDigits(s.substr(0, 4)) && IsDigits(s.substr(5, 2)) && IsDigits(s.substr(8, 2)) &&
         IsDigits(s.substr(11, 2)) && IsDigits(s.substr(14, 2)) && IsDigits(s.substr(17, 2));
}

std::string LineError(size_t lineNo, const std::string& why) {
  return "catalogue line " + std::to_string(lineNo) + ": " + why;
}

// The next line from `pos` without its line break (and a carriage return
// before it); `pos` moves past the break.
std::string_view NextLine(std::string_view text, size_t& pos) {
  size_t eol = text.find('\n', pos);
  if (eol == std::string_view::npos) eol = text.size();
  std::string_view line = text.substr(pos, eol - pos);
  pos = eol + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Where each known column sits in a line, from the header.
struct Columns {
  int at[kColumnCount];
  size_t count = 0;

  bool Read(const std::vector<std::string_view>& header, std::string& why) {
    for (int& c : at) c = -1;
    count = header.size();
    for (size_t i = 0; i < header.size(); ++i) {
      for (int c = 0; c < kColumnCount; ++c) {
        if (header[i] == kColumnNames[c]) at[c] = static_cast<int>(i);
      }
    }
    if (at[kId] >= 0 && at[kTitle] >= 0) return true;
    why = "the header must name at least the columns id and title";
    return false;
  }
  bool Has(Column c) const { return at[c] >= 0; }
  std::string_view Field(const std::vector<std::string_view>& fields, Column c) const {
    return at[c] < 0 ? std::string_view() : fields[static_cast<size_t>(at[c])];
  }
};

bool UniqueId(int64_t id, std::unordered_set<int64_t>& ids, std::string& why) {
  if (ids.insert(id).second) return true;
  why = "id " + std::to_string(id) + " appears twice";
  return false;
}

// The numbers of a product line: id, prices, product type.
bool ReadNumbers(const std::vector<std::string_view>& fields, const Columns& columns, Product& p,
                 std::string& why) {
  constexpr int64_t kMaxPrice = std::numeric_limits<int32_t>::max();
  // Ids name image files and page addresses, so they stay plain positive numbers.
  if (!ParseInt(columns.Field(fields, kId), 1, 999999999999999, p.id)) {
    why = "id must be a positive number of at most 15 digits";
    return false;
  }
  if (columns.Has(kLowPrice) &&
      !ParseInt(columns.Field(fields, kLowPrice), 0, kMaxPrice, p.lowPrice)) {
    why = "lprice must be a number from 0 to 2147483647";
    return false;
  }
  if (columns.Has(kHighPrice) &&
      !ParseInt(columns.Field(fields, kHighPrice), 0, kMaxPrice, p.highPrice)) {
    why = "hprice must be a number from 0 to 2147483647";
    return false;
  }
  int64_t type = 1;
  if (columns.Has(kProductType) && !ParseInt(columns.Field(fields, kProductType), 1, 99, type)) {
    why = "productType must be a number from 1 to 99";
    return false;
  }
  p.productType = static_cast<int>(type);
  return true;
}

bool ReadProduct(const std::vector<std::string_view>& fields, const Columns& columns, Product& p,
                 std::string& why) {
  if (fields.size() != columns.count) {
    why = "expected " + std::to_string(columns.count) + " fields, found " +
          std::to_string(fields.size());
    return false;
  }
  if (!ReadNumbers(fields, columns, p, why)) return false;
  p.title = columns.Field(fields, kTitle);
  if (p.title.empty()) {
    why = "empty title";
    return false;
  }
  p.mallName = columns.Field(fields, kMall);
  p.maker = columns.Field(fields, kMaker);
  p.brand = columns.Field(fields, kBrand);
  for (int c = 0; c < 4; ++c) p.category[c] = columns.Field(fields, Column(kCategory1 + c));
  p.updated = columns.Field(fields, kUpdated);
  if (p.updated.empty()) p.updated = "2000-01-01 00:00:00";
  if (!IsTimestamp(p.updated)) {
    why = "updated must read YYYY-MM-DD HH:MM:SS";
    return false;
  }
  return true;
}

}  // namespace

bool ParseCatalogue(std::string_view text, std::vector<Product>& out, std::string& error) {
  out.clear();
  if (!IsValidUtf8(text)) {
    error = "catalogue is not valid UTF-8";
    return false;
  }
  Columns columns;
  size_t lineNo = 0;
  size_t pos = 0;
  bool haveHeader = false;
  std::unordered_set<int64_t> ids;
  while (pos < text.size()) {
    std::string_view line = NextLine(text, pos);
    ++lineNo;
    if (line.empty()) continue;
    std::vector<std::string_view> fields = SplitTabs(line);
    std::string why;
    if (!haveHeader) {
      haveHeader = true;
      if (!columns.Read(fields, why)) {
        error = LineError(lineNo, why);
        return false;
      }
      continue;
    }
    Product p;
    if (!ReadProduct(fields, columns, p, why) || !UniqueId(p.id, ids, why)) {
      error = LineError(lineNo, why);
      return false;
    }
    out.push_back(std::move(p));
  }
  if (!haveHeader) {
    error = "catalogue is empty";
    return false;
  }
  return true;
}

bool LoadCatalogueFile(const std::string& path, std::vector<Product>& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open catalogue file " + path;
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    error = "cannot read catalogue file " + path;
    return false;
  }
  if (!ParseCatalogue(buffer.str(), out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool LoadCatalogue(const std::string& fileOrEmpty, std::vector<Product>& out, std::string& error) {
  if (fileOrEmpty.empty()) return ParseCatalogue(BundledCatalogueText(), out, error);
  return LoadCatalogueFile(fileOrEmpty, out, error);
}

std::string FormatCatalogue(const std::vector<Product>& products) {
  std::string out;
  for (int c = 0; c < kColumnCount; ++c) {
    if (c) out += '\t';
    out += kColumnNames[c];
  }
  out += '\n';
  for (const Product& p : products) {
    out += std::to_string(p.id);
    for (const std::string* s : {&p.title}) (out += '\t') += *s;
    out += '\t' + std::to_string(p.lowPrice) + '\t' + std::to_string(p.highPrice);
    for (const std::string* s : {&p.mallName, &p.maker, &p.brand}) (out += '\t') += *s;
    out += '\t' + std::to_string(p.productType);
    for (const std::string& s : p.category) (out += '\t') += s;
    (out += '\t') += p.updated;
    out += '\n';
  }
  return out;
}

}  // namespace quobble::catalogue
