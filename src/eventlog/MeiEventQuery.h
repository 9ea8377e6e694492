// The event query of the stand-in event source: the subset of the event
// log's XPath filters that selects events by provider name, event ID and
// level, e.g.
//
//   *[System[Provider[@Name='MEI' or @Name='MEIx64']]] and
//   *[System[EventID='4'] or System[EventID='1']]
//
// Grammar (blanks are free between tokens, "and" binds tighter than "or"):
//   query    := "*" | expr<top>
//   expr<s>  := and<s> ("or" and<s>)*
//   and<s>   := term<s> ("and" term<s>)*
//   term<top>      := "*" ["[" expr<event> "]"] | "(" expr<top> ")"
//   term<event>    := "System" "[" expr<system> "]" | "(" expr<event> ")"
//   term<system>   := "Provider" "[" expr<provider> "]"
//                   | ("EventID" | "Level") cmp number | "(" expr<system> ")"
//   term<provider> := "@Name" ("=" | "!=") string | "(" expr<provider> ")"
//   cmp := "=" | "!=" | "<" | "<=" | ">" | ">="
//   number := digits, bare or quoted; string := '...' or "..."
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct MeiEventFields {
  std::string provider;
  uint16_t eventId;
  uint8_t level;
};

class MeiEventQuery {
 public:
  // False when the text is not a query of the shape above.
  bool parse(const wchar_t* text);
  // True when the event passes the filter (false before a successful parse).
  bool matches(const MeiEventFields& event) const;

 private:
  enum class Kind : uint8_t { kAll, kAnd, kOr, kProviderName, kEventId, kLevel };
  enum class Compare : uint8_t { kEqual, kNotEqual, kLess, kLessEqual, kGreater, kGreaterEqual };
  struct Node {
    Kind kind;
    Compare compare;
    uint32_t number;
    std::wstring text;
    int left;
    int right;
  };
  friend class MeiEventQueryParser;

  bool evaluate(int node, const MeiEventFields& event) const;
  static bool compareNumber(Compare compare, uint32_t value, uint32_t wanted);

  std::vector<Node> nodes_;
  int root_ = -1;
};
