// The flat form of a result and the JSON text of both forms.
#include "tamberok/result.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tamberok {
namespace {

DecodedElement element(int32_t id, std::string_view variable, std::string value) {
  DecodedElement e;
  e.element_id = id;
  e.variable = variable;
  e.value = std::move(value);
  return e;
}

DecodeResult head_only(std::string vin) {
  DecodeResult r;
  r.vin = std::move(vin);
  return r;
}

// ---- Flat form ------------------------------------------------------------------

TEST(FlatResult, ShapeOfEachNameIsFixedByItsFirstElement) {
  using List = std::vector<std::string>;
  using Attrs = std::vector<std::pair<std::string_view, FlatValue>>;
  struct Case {
    const char* name;
    std::vector<DecodedElement> elements;
    Attrs expected;
  };
  const Case cases[] = {
      {"two notes give one list in element order",
       {element(114, "Note", "a"), element(114, "Note", "b")},
       {{"Note", List{"a", "b"}}}},
      {"a note that occurs once is still a list",
       {element(114, "Note", "a")},
       {{"Note", List{"a"}}}},
      {"every multi-valued id gives a list",
       {element(121, "R", "1"), element(129, "E", "2"), element(150, "B", "3"),
        element(154, "M", "4"), element(155, "T", "5"), element(169, "A", "6"),
        element(186, "N", "7")},
       {{"R", List{"1"}},
        {"E", List{"2"}},
        {"B", List{"3"}},
        {"M", List{"4"}},
        {"T", List{"5"}},
        {"A", List{"6"}},
        {"N", List{"7"}}}},
      {"a repeated single-valued name keeps its first value",
       {element(26, "Make", "HONDA"), element(26, "Make", "ACURA")},
       {{"Make", "HONDA"}}},
      {"a single first element keeps the name single",
       {element(5, "X", "a"), element(114, "X", "b")},
       {{"X", "a"}}},
      {"a multi-valued first element takes later values of any id",
       {element(114, "X", "a"), element(5, "X", "b")},
       {{"X", List{"a", "b"}}}},
      {"names keep the order of first appearance",
       {element(39, "Model", "Accord"), element(114, "Note", "n1"), element(26, "Make", "HONDA"),
        element(39, "Model", "Civic"), element(114, "Note", "n2")},
       {{"Model", "Accord"}, {"Note", List{"n1", "n2"}}, {"Make", "HONDA"}}},
      {"names compare byte for byte",
       {element(1, "make", "a"), element(2, "Make", "b")},
       {{"make", "a"}, {"Make", "b"}}},
  };
  for (const Case& c : cases) {
    DecodeResult r;
    r.elements = c.elements;
    EXPECT_EQ(FlatResult::from(r).attributes, c.expected) << c.name;
  }
}

// ---- JSON text --------------------------------------------------------------------

std::string nested_head_json(std::string_view vin_json) {
  return R"({"vin":)" + std::string(vin_json) +
         R"(,"wmi":"","descriptor":"","model_year":null,"error_codes":[],)"
         R"("check_digit_valid":false,"corrected_vin":"","elements":[]})";
}

TEST(ResultJson, StringsAreEscapedOnlyWhereJsonRequires) {
  EXPECT_EQ(to_json(head_only("")), nested_head_json(R"("")"));
  // Quote, backslash and controls escaped; "/", DEL and non-ASCII written raw.
  std::string all;
  for (int c = 0; c < 0x80; ++c) all.push_back(static_cast<char>(c));
  all += "Ünïcødé 日本 🚗";
  EXPECT_EQ(
      to_json(head_only(all)),
      nested_head_json(
          R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
          R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c)"
          R"(\u001d\u001e\u001f !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\])"
          R"(^_`abcdefghijklmnopqrstuvwxyz{|}~)"
          "\x7fÜnïcødé 日本 🚗\""));
}

TEST(ResultJson, NestedResultWritesEveryMemberInOrder) {
  DecodeResult r;
  r.vin = "5UXWX7C5*BA";
  r.wmi = "5UX";
  r.descriptor = "5UXWX7C5*BA";
  r.model_year = 2011;
  r.error_codes = {-1, 0, 400};
  r.check_digit_valid = false;
  r.corrected_vin = "5UXWX7C5!BA";
  DecodedElement e = element(26, "Make", "BMW");
  e.group_name = "General";
  e.attribute_id = "452";
  e.code = "Make";
  e.data_type = "lookup";
  e.decode = "WMI";
  e.source = "Pattern";
  e.pattern_id = -7;
  e.vin_schema_id = 0;
  e.keys = "WX7C5|*B";
  e.created_on = -9223372036854775807;
  e.wmi_id = 2147483647;
  e.to_be_qced = true;
  r.elements.push_back(e);
  r.elements.push_back(element(114, "Note", "line1\nline2"));
  EXPECT_EQ(to_json(r),
            R"({"vin":"5UXWX7C5*BA","wmi":"5UX","descriptor":"5UXWX7C5*BA","model_year":2011,)"
            R"("error_codes":[-1,0,400],"check_digit_valid":false,"corrected_vin":"5UXWX7C5!BA",)"
            R"("elements":[{"group_name":"General","variable":"Make","value":"BMW",)"
            R"("element_id":26,"attribute_id":"452","code":"Make","data_type":"lookup",)"
            R"("decode":"WMI","source":"Pattern","pattern_id":-7,"vin_schema_id":0,)"
            R"("keys":"WX7C5|*B","created_on":-9223372036854775807,"wmi_id":2147483647,)"
            R"("to_be_qced":true},)"
            R"({"group_name":"","variable":"Note","value":"line1\nline2","element_id":114,)"
            R"("attribute_id":"","code":"","data_type":"","decode":"","source":"",)"
            R"("pattern_id":null,"vin_schema_id":null,"keys":"","created_on":null,)"
            R"("wmi_id":null,"to_be_qced":false}]})");
}

TEST(ResultJson, FlatResultKeepsTheHeadAndWritesAttributesAsOneObject) {
  DecodeResult r;
  r.vin = "1HGCM82633A004352";
  r.wmi = "1HG";
  r.descriptor = "1HGCM826*3A";
  r.model_year = -2003;
  r.error_codes = {0, 14};
  r.check_digit_valid = true;
  r.corrected_vin = "1HGCM82633A00435!";
  r.elements = {element(26, "Make", "HONDA"), element(114, "Note", "only one"),
                element(39, "Model \"X\"", "Accord"), element(26, "Make", "ACURA")};
  EXPECT_EQ(to_json(FlatResult::from(r)),
            R"({"vin":"1HGCM82633A004352","wmi":"1HG","descriptor":"1HGCM826*3A",)"
            R"("model_year":-2003,"error_codes":[0,14],"check_digit_valid":true,)"
            R"("corrected_vin":"1HGCM82633A00435!",)"
            R"("attributes":{"Make":"HONDA","Note":["only one"],"Model \"X\"":"Accord"}})");
  EXPECT_EQ(to_json(FlatResult::from(head_only("V"))),
            R"({"vin":"V","wmi":"","descriptor":"","model_year":null,"error_codes":[],)"
            R"("check_digit_valid":false,"corrected_vin":"","attributes":{}})");
}

}  // namespace
}  // namespace tamberok
