// Route requests the parser refuses, with the exact "qoroco_debug" member each one gives. Shared
// by the in-process tests and the tests through the loaded library.
#pragma once

namespace qotest {

struct RequestCase {
  const char* seeds;
  const char* destinations;
  const char* modifiers;
  const char* debug;  // the value of "qoroco_debug"
};

inline constexpr char kValidSeed[] = R"([{"terminal":"Front0","cost":5,"constraints":{}}])";

inline constexpr RequestCase kRequestDiagnostics[] = {
    {"[1]", R"(["A"])", "{}", R"("seed must be an object")"},
    {R"([{"terminal":5,"cost":1,"constraints":{}}])", R"(["A"])", "{}",
     R"({"msg":"terminal name must be a string","json":{"terminal":5,"cost":1,"constraints":{}}})"},
    {R"([{"terminal":"A","srcDeviceToken":1,"cost":1,"constraints":{}}])", R"(["A"])", "{}",
     R"({"msg":"srcDeviceToken name must be a string","json":{"terminal":"A","srcDeviceToken":1,"cost":1,"constraints":{}}})"},
    {R"([{"terminal":"A","cost":"1","constraints":{}}])", R"(["A"])", "{}",
     R"({"msg":"cost must be a number","json":{"terminal":"A","cost":"1","constraints":{}}})"},
    {R"([{"cost":1,"constraints":{}}])", R"(["A"])", "{}",
     R"({"msg":"terminal field missing","json":{"cost":1,"constraints":{}}})"},
    {R"([{"terminal":"A"}])", R"(["A"])", "{}",
     R"({"msg":"cost field missing or invalid","json":{"terminal":"A"}})"},
    // The seed's json ends with the seed object, whatever follows it.
    {R"([{"terminal":"A","cost":1} , {"x":1}])", R"(["A"])", "{}",
     R"({"msg":"constraints field missing","json":{"terminal":"A","cost":1}})"},
    {R"([{"terminal":"A","cost":1,"constraints":{"inversionNeeded":"yes"}}])", R"(["A"])", "{}",
     R"({"msg":"Unexpected constraint type","constraint":"inversionNeeded","expected_type":2,"actual_type":4})"},
    {R"([{"terminal":"A","cost":1,"constraints":{"inversionNeeded":1}}])", R"(["A"])", "{}",
     R"({"msg":"Unexpected constraint type","constraint":"inversionNeeded","expected_type":2,"actual_type":3})"},
    {kValidSeed, R"(["A", 3])", "{}", R"({"msg":"Terminals must be strings","json":["A", 3]})"},
    // A text that is not one complete JSON value goes in as a string: no member injected.
    {kValidSeed, "[\"A\", 3], \"x\":1 \xff", "{}",
     R"({"msg":"Terminals must be strings","json":"[\"A\", 3], \"x\":1 \ufffd"})"},
    {kValidSeed, R"(["A"])", R"({"required":1})",
     R"({"msg":"modifiers type must be object","json":{"required":1}})"},
    {kValidSeed, R"(["A"])", R"({"other":true})",
     R"({"msg":"modifiers type must be object","json":{"other":true}})"},
    {kValidSeed, R"(["A"])", R"({"required":{"x":1}})",
     R"("Required route modifier has unrecognized type")"},
    // A broken modifiers text keeps the members before the break, errors included.
    {kValidSeed, R"(["A"])", R"({"required":{"x":1)",
     R"("Required route modifier has unrecognized type")"},
    // Bytes that are not UTF-8 pass the request tokenizer; the diagnostic stays valid JSON.
    {"[{\"terminal\":\"\xff\xfe\",\"x\":\"\xc0\",\"constraints\":{}}]", R"(["A"])", "{}",
     R"({"msg":"cost field missing or invalid","json":"{\"terminal\":\"\ufffd\ufffd\",\"x\":\"\ufffd\",\"constraints\":{}}"})"},
};

}  // namespace qotest
