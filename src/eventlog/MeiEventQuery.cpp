#include "MeiEventQuery.h"

#include <cwctype>

namespace {

enum class Scope : uint8_t { kTop, kEvent, kSystem, kProvider };

}  // namespace

// Recursive descent over the query text; every parse function returns the
// index of the node it built, or -1 when the text does not fit the grammar.
class MeiEventQueryParser {
 public:
  MeiEventQueryParser(const wchar_t* text, MeiEventQuery& query) : at_(text), query_(query) {}

  int parseQuery() {
    skipBlanks();
    int root = parseOr(Scope::kTop);
    skipBlanks();
    return (root >= 0 && *at_ == L'\0') ? root : -1;
  }

 private:
  using Node = MeiEventQuery::Node;
  using Kind = MeiEventQuery::Kind;
  using Compare = MeiEventQuery::Compare;

  void skipBlanks() {
    while (*at_ != L'\0' && std::iswspace(static_cast<wint_t>(*at_))) {
      ++at_;
    }
  }

  bool take(wchar_t c) {
    skipBlanks();
    if (*at_ != c) {
      return false;
    }
    ++at_;
    return true;
  }

  static bool isNameChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'@' || c == L'_';
  }

  // Takes `word` when it stands next in the text as a whole name.
  bool takeWord(const wchar_t* word) {
    skipBlanks();
    const wchar_t* p = at_;
    for (; *word != L'\0'; ++word, ++p) {
      if (*p != *word) {
        return false;
      }
    }
    if (isNameChar(*p)) {
      return false;
    }
    at_ = p;
    return true;
  }

  int add(Kind kind, int left = -1, int right = -1) {
    query_.nodes_.push_back(Node{kind, Compare::kEqual, 0, std::wstring(), left, right});
    return static_cast<int>(query_.nodes_.size()) - 1;
  }

  int parseOr(Scope scope) {
    int left = parseAnd(scope);
    while (left >= 0 && takeWord(L"or")) {
      const int right = parseAnd(scope);
      left = right < 0 ? -1 : add(Kind::kOr, left, right);
    }
    return left;
  }

  int parseAnd(Scope scope) {
    int left = parseTerm(scope);
    while (left >= 0 && takeWord(L"and")) {
      const int right = parseTerm(scope);
      left = right < 0 ? -1 : add(Kind::kAnd, left, right);
    }
    return left;
  }

  // "[" expr<inner> "]"
  int parseBracket(Scope inner) {
    if (!take(L'[')) {
      return -1;
    }
    const int node = parseOr(inner);
    return (node >= 0 && take(L']')) ? node : -1;
  }

  int parseTerm(Scope scope) {
    if (take(L'(')) {
      const int node = parseOr(scope);
      return (node >= 0 && take(L')')) ? node : -1;
    }
    switch (scope) {
      case Scope::kTop:
        if (!take(L'*')) {
          return -1;
        }
        skipBlanks();
        return *at_ == L'[' ? parseBracket(Scope::kEvent) : add(Kind::kAll);
      case Scope::kEvent:
        return takeWord(L"System") ? parseBracket(Scope::kSystem) : -1;
      case Scope::kSystem:
        if (takeWord(L"Provider")) {
          return parseBracket(Scope::kProvider);
        }
        if (takeWord(L"EventID")) {
          return parseNumberTest(Kind::kEventId);
        }
        if (takeWord(L"Level")) {
          return parseNumberTest(Kind::kLevel);
        }
        return -1;
      case Scope::kProvider:
        return takeWord(L"@Name") ? parseNameTest() : -1;
    }
    return -1;
  }

  bool parseCompare(Compare* compare) {
    skipBlanks();
    if (at_[0] == L'=') {
      *compare = Compare::kEqual;
      at_ += 1;
    } else if (at_[0] == L'!' && at_[1] == L'=') {
      *compare = Compare::kNotEqual;
      at_ += 2;
    } else if (at_[0] == L'<') {
      const bool orEqual = at_[1] == L'=';
      *compare = orEqual ? Compare::kLessEqual : Compare::kLess;
      at_ += orEqual ? 2 : 1;
    } else if (at_[0] == L'>') {
      const bool orEqual = at_[1] == L'=';
      *compare = orEqual ? Compare::kGreaterEqual : Compare::kGreater;
      at_ += orEqual ? 2 : 1;
    } else {
      return false;
    }
    return true;
  }

  // A literal in single or double quotes; the quotes are not part of it.
  bool parseString(std::wstring* text) {
    skipBlanks();
    const wchar_t quote = *at_;
    if (quote != L'\'' && quote != L'"') {
      return false;
    }
    const wchar_t* start = ++at_;
    while (*at_ != L'\0' && *at_ != quote) {
      ++at_;
    }
    if (*at_ == L'\0') {
      return false;
    }
    text->assign(start, at_);
    ++at_;
    return true;
  }

  bool parseNumber(uint32_t* number) {
    skipBlanks();
    std::wstring digits;
    if (*at_ == L'\'' || *at_ == L'"') {
      if (!parseString(&digits)) {
        return false;
      }
    } else {
      while (*at_ >= L'0' && *at_ <= L'9') {
        digits.push_back(*at_++);
      }
    }
    if (digits.empty() || digits.size() > 9) {
      return false;
    }
    uint32_t value = 0;
    for (wchar_t c : digits) {
      if (c < L'0' || c > L'9') {
        return false;
      }
      value = value * 10 + static_cast<uint32_t>(c - L'0');
    }
    *number = value;
    return true;
  }

  int parseNumberTest(Kind kind) {
    Compare compare;
    uint32_t number;
    if (!parseCompare(&compare) || !parseNumber(&number)) {
      return -1;
    }
    const int node = add(kind);
    query_.nodes_[node].compare = compare;
    query_.nodes_[node].number = number;
    return node;
  }

  int parseNameTest() {
    Compare compare;
    std::wstring name;
    if (!parseCompare(&compare) || (compare != Compare::kEqual && compare != Compare::kNotEqual) ||
        !parseString(&name)) {
      return -1;
    }
    const int node = add(Kind::kProviderName);
    query_.nodes_[node].compare = compare;
    query_.nodes_[node].text = std::move(name);
    return node;
  }

  const wchar_t* at_;
  MeiEventQuery& query_;
};

bool MeiEventQuery::parse(const wchar_t* text) {
  nodes_.clear();
  root_ = -1;
  if (text == nullptr) {
    return false;
  }
  root_ = MeiEventQueryParser(text, *this).parseQuery();
  if (root_ < 0) {
    nodes_.clear();
  }
  return root_ >= 0;
}

bool MeiEventQuery::matches(const MeiEventFields& event) const {
  return root_ >= 0 && evaluate(root_, event);
}

namespace {

bool sameName(const std::string& provider, const std::wstring& name) {
  if (provider.size() != name.size()) {
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (static_cast<wchar_t>(static_cast<unsigned char>(provider[i])) != name[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool MeiEventQuery::evaluate(int index, const MeiEventFields& event) const {
  const Node& node = nodes_[static_cast<size_t>(index)];
  switch (node.kind) {
    case Kind::kAll:
      return true;
    case Kind::kAnd:
      return evaluate(node.left, event) && evaluate(node.right, event);
    case Kind::kOr:
      return evaluate(node.left, event) || evaluate(node.right, event);
    case Kind::kProviderName:
      return sameName(event.provider, node.text) == (node.compare == Compare::kEqual);
    case Kind::kEventId:
      return compareNumber(node.compare, event.eventId, node.number);
    case Kind::kLevel:
      return compareNumber(node.compare, event.level, node.number);
  }
  return false;
}

bool MeiEventQuery::compareNumber(Compare compare, uint32_t value, uint32_t wanted) {
  switch (compare) {
    case Compare::kEqual:
      return value == wanted;
    case Compare::kNotEqual:
      return value != wanted;
    case Compare::kLess:
      return value < wanted;
    case Compare::kLessEqual:
      return value <= wanted;
    case Compare::kGreater:
      return value > wanted;
    case Compare::kGreaterEqual:
      return value >= wanted;
  }
  return false;
}
