#include "plist_reader.h"

#include <vector>

#include "utf8.h"

namespace stand_in {
namespace {

using support::Error;
using support::Result;

struct Tag {
  enum Kind { open, close, empty };
  Kind kind = open;
  std::string name;
};

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// "&lt;" and its four siblings, and character references such as "&#233;".
Result<void> decode_entity(std::string_view entity, std::string& out) {
  static const std::pair<std::string_view, char> kNamed[] = {
      {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& [name, c] : kNamed) {
    if (entity == name) {
      out += c;
      return support::success();
    }
  }
  if (entity.size() >= 2 && entity[0] == '#') {
    bool hex = entity[1] == 'x';
    std::string_view digits = entity.substr(hex ? 2 : 1);
    char32_t value = 0;
    for (char d : digits) {
      int digit = d >= '0' && d <= '9'               ? d - '0'
                  : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                  : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                 : -1;
      if (digit < 0 || value > 0x10FFFF) return Error("bad character reference &" + std::string(entity) + ";");
      value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
    }
    bool valid = !digits.empty() && value != 0 && value <= 0x10FFFF &&
                 !(value >= 0xD800 && value <= 0xDFFF);
    if (!valid) return Error("bad character reference &" + std::string(entity) + ";");
    support::append_utf8(out, value);
    return support::success();
  }
  return Error("unknown entity &" + std::string(entity) + ";");
}

class Parser {
 public:
  explicit Parser(std::string_view xml) : xml_(xml) {}

  Result<TopLevelEntries> document() {
    if (auto ok = skip_markup_and_space(); !ok) return std::move(ok).take_error();
    auto plist = tag();
    if (!plist) return std::move(plist).take_error();
    if (plist->kind != Tag::open || plist->name != "plist") {
      return Error("the document is not a property list");
    }
    auto entries = root_dictionary();
    if (!entries) return entries;
    if (auto end = expect_close("plist"); !end) return std::move(end).take_error();
    if (auto ok = skip_markup_and_space(); !ok) return std::move(ok).take_error();
    if (pos_ != xml_.size()) return Error("content after </plist>");
    return entries;
  }

 private:
  bool at(std::string_view text) const { return xml_.substr(pos_, text.size()) == text; }

  Result<void> skip_past(std::string_view terminator, const char* what) {
    size_t end = xml_.find(terminator, pos_);
    if (end == std::string_view::npos) return Error(std::string("unterminated ") + what);
    pos_ = end + terminator.size();
    return support::success();
  }

  // White space, the XML declaration, comments and the document type
  // declaration: everything that may stand between elements.
  Result<void> skip_markup_and_space() {
    for (;;) {
      while (pos_ < xml_.size() && is_xml_space(xml_[pos_])) ++pos_;
      Result<void> skipped;
      if (at("<?")) {
        skipped = skip_past("?>", "processing instruction");
      } else if (at("<!--")) {
        skipped = skip_past("-->", "comment");
      } else if (at("<!DOCTYPE")) {
        skipped = skip_past(">", "document type declaration");
      } else {
        return support::success();
      }
      if (!skipped) return skipped;
    }
  }

  Result<Tag> tag() {
    if (!at("<")) return Error(pos_ < xml_.size() ? "expected an element" : "unexpected end of the document");
    ++pos_;
    Tag result;
    if (at("/")) {
      result.kind = Tag::close;
      ++pos_;
    }
    size_t name_start = pos_;
    while (pos_ < xml_.size() && !is_xml_space(xml_[pos_]) && xml_[pos_] != '>' && xml_[pos_] != '/') ++pos_;
    result.name = std::string(xml_.substr(name_start, pos_ - name_start));
    if (result.name.empty()) return Error("an element without a name");
    // Attributes are skipped; a quoted value may hold '>' or '/'.
    char quote = 0;
    for (; pos_ < xml_.size(); ++pos_) {
      char c = xml_[pos_];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        if (xml_[pos_ - 1] == '/' && result.kind == Tag::open) result.kind = Tag::empty;
        ++pos_;
        return result;
      }
    }
    return Error("unterminated <" + result.name + ">");
  }

  // Character data up to the next element, entities decoded, comments and
  // CDATA sections taken into account.
  Result<std::string> text() {
    std::string out;
    while (pos_ < xml_.size()) {
      if (at("<!--")) {
        if (auto ok = skip_past("-->", "comment"); !ok) return std::move(ok).take_error();
      } else if (at("<![CDATA[")) {
        size_t start = pos_ + 9;
        if (auto ok = skip_past("]]>", "CDATA section"); !ok) return std::move(ok).take_error();
        out.append(xml_.substr(start, pos_ - 3 - start));
      } else if (xml_[pos_] == '<') {
        return out;
      } else if (xml_[pos_] == '&') {
        size_t end = xml_.find(';', pos_);
        if (end == std::string_view::npos) return Error("unterminated entity");
        if (auto ok = decode_entity(xml_.substr(pos_ + 1, end - pos_ - 1), out); !ok) {
          return std::move(ok).take_error();
        }
        pos_ = end + 1;
      } else {
        out += xml_[pos_++];
      }
    }
    return Error("unexpected end of the document");
  }

  Result<void> expect_close(const std::string& name) {
    if (auto ok = skip_markup_and_space(); !ok) return ok;
    auto closing = tag();
    if (!closing) return std::move(closing).take_error();
    if (closing->kind != Tag::close || closing->name != name) return Error("expected </" + name + ">");
    return support::success();
  }

  // Text and elements up to the end of the element `name` just opened.
  Result<void> skip_element(const std::string& name) {
    std::vector<std::string> open{name};
    while (!open.empty()) {
      if (auto skipped = text(); !skipped) return std::move(skipped).take_error();
      auto next = tag();
      if (!next) return std::move(next).take_error();
      if (next->kind == Tag::open) {
        open.push_back(next->name);
      } else if (next->kind == Tag::close) {
        if (next->name != open.back()) return Error("expected </" + open.back() + ">");
        open.pop_back();
      }
    }
    return support::success();
  }

  // The value after a key: a string's text, or nothing for any other type.
  Result<std::optional<std::string>> value() {
    if (auto ok = skip_markup_and_space(); !ok) return std::move(ok).take_error();
    auto start = tag();
    if (!start) return std::move(start).take_error();
    if (start->kind == Tag::close) return Error("a key without a value");
    if (start->kind == Tag::empty) {
      return start->name == "string" ? std::optional<std::string>("") : std::nullopt;
    }
    if (start->name != "string") {
      if (auto ok = skip_element(start->name); !ok) return std::move(ok).take_error();
      return std::optional<std::string>();
    }
    auto content = text();
    if (!content) return std::move(content).take_error();
    if (auto end = expect_close("string"); !end) return std::move(end).take_error();
    return std::optional<std::string>(std::move(content.value()));
  }

  Result<TopLevelEntries> root_dictionary() {
    if (auto ok = skip_markup_and_space(); !ok) return std::move(ok).take_error();
    auto dict = tag();
    if (!dict) return std::move(dict).take_error();
    if (dict->name != "dict" || dict->kind == Tag::close) {
      return Error("the property list's root is not a dictionary");
    }
    TopLevelEntries entries;
    if (dict->kind == Tag::empty) return entries;
    for (;;) {
      if (auto ok = skip_markup_and_space(); !ok) return std::move(ok).take_error();
      auto next = tag();
      if (!next) return std::move(next).take_error();
      if (next->kind == Tag::close && next->name == "dict") return entries;
      if (next->kind != Tag::open || next->name != "key") return Error("expected <key> in the dictionary");
      auto key = text();
      if (!key) return std::move(key).take_error();
      if (auto end = expect_close("key"); !end) return std::move(end).take_error();
      auto entry = value();
      if (!entry) return std::move(entry).take_error();
      entries[std::move(key.value())] = std::move(entry.value());
    }
  }

  std::string_view xml_;
  size_t pos_ = 0;
};

}  // namespace

Result<TopLevelEntries> parse_top_level(std::string_view xml) { return Parser(xml).document(); }

}  // namespace stand_in
