// Items of the host's list settings: matched whole, and cut with one
// separating comma, every other item kept whole.
#include <gtest/gtest.h>

#include <string>

#include "btsetup.h"

namespace {

// The list after cutting item, or "(absent)" when it is no item of it.
std::string cut(const std::string &list, const char *item) {
  size_t from = 0, to = 0;
  if (!bt_list_find(list.c_str(), item, &from, &to)) return "(absent)";
  return list.substr(0, from) + list.substr(to);
}

}  // namespace

TEST(ListItems, WholeItemsAreFoundAndCutWithOneSeparator) {
  struct Case {
    const char *list, *item, *after;
  } cases[] = {
      {"Router,ZEPT,Replica", "ZEPT", "Router,Replica"},
      {"Router,ZEPT", "ZEPT", "Router"},
      {"Router, ZEPT", "ZEPT", "Router"},
      {"Router, ZEPT , Replica", "ZEPT", "Router, Replica"},
      {"ZEPT,Router", "ZEPT", "Router"},
      {"ZEPT, Router", "ZEPT", "Router"},
      {"ZEPT", "ZEPT", ""},
      {" ZEPT ", "ZEPT", ""},
      {"ZEPTX,ZEPT", "ZEPT", "ZEPTX"},
      {"ZEPT,ZEPT", "ZEPT", "ZEPT"},  // the first occurrence only
      {"a.dll,nzeptext.dll,b.dll", "nzeptext.dll", "a.dll,b.dll"},
      {"XZEPTY", "ZEPT", "(absent)"},
      {"Replica,zept", "ZEPT", "(absent)"},
      {"ZEPTX,AZEPT", "ZEPT", "(absent)"},
      {"", "ZEPT", "(absent)"},
      {",,", "ZEPT", "(absent)"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i << ": \"" << cases[i].list << "\"");
    EXPECT_EQ(cases[i].after, cut(cases[i].list, cases[i].item));
    EXPECT_EQ(std::string(cases[i].after) != "(absent)", bt_list_find(cases[i].list, cases[i].item, nullptr, nullptr) == 1);
  }
}
