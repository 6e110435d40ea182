// The table of control requests (sim/src/protocol/ControlRequests.h) against the machine that
// serves it: a key the table marks as required is refused when it is missing, and `qosim ctl`
// keeps exactly the text keys as text.
#include <string>

#include <gtest/gtest.h>

#include "ControlRequests.h"
#include "QosimClient.h"

namespace {

namespace control = qosim::control;

TEST(QosimControlTable, EveryRequiredKeyIsRefusedWhenMissing) {
  auto c = qosim::Client::connect();
  ASSERT_TRUE(c.ok()) << c.error;
  int required = 0;
  for (const control::Request& r : control::requests()) {
    for (const control::Key& k : r.keys) {
      if (!k.required) continue;
      ++required;
      // Without the key the request is refused before it changes anything.
      nlohmann::json req = control::make(r.id);
      for (const control::Key& other : r.keys)
        if (other.required && std::string(other.name) != k.name) req[other.name] = "qovorlix0";
      auto answer = c.value.request(req);
      EXPECT_EQ(answer.error, std::string("\"") + k.name + "\" is missing") << r.name;
    }
  }
  EXPECT_EQ(required, 12);
}

TEST(QosimControlTable, CtlSendsTextKeysAsText) {
  struct Row {
    control::Id request;
    const char* key;
    bool text;
  };
  const Row rows[] = {
      {control::Id::Respond, "target", true},      {control::Id::Respond, "output", true},
      {control::Id::Respond, "then", true},        {control::Id::Respond, "command", false},
      {control::Id::Respond, "count", false},      {control::Id::Notify, "payload", true},
      {control::Id::Notify, "node", true},         {control::Id::Notify, "port", false},
      {control::Id::NotifyRaw, "bytes", true},     {control::Id::Log, "clear", false},
      {control::Id::Plug, "board", false},         {control::Id::ModuleFile, "text", true},
      {control::Id::FirmwareUpdate, "hash", true}, {control::Id::FirmwareUpdate, "size", false},
      {control::Id::Set, "device", true},          {control::Id::Set, "description", true},
      {control::Id::Set, "topographyName", true},  {control::Id::Set, "temperature", false},
      {control::Id::Set, "operation", true},       {control::Id::Get, "description", false},
  };
  for (const Row& row : rows)
    EXPECT_EQ(control::isTextKey(control::request(row.request), row.key), row.text)
        << control::request(row.request).name << " " << row.key;
}

}  // namespace
