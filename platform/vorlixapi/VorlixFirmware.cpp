// Firmware updates run by the simulated machine (qoPlatformStandinContract.h, section 2): the
// update is started with the control request "firmware-update" and followed with
// "firmware-progress" until the simulator reports it finished. The image itself stays here;
// the simulator receives its size and FNV-1a 64 hash.
//
// Each call opens its own connection to the control socket (sim/src/protocol/LineClient.h, a
// header: this library exports nothing of it), so calls from several threads never share one;
// no lock is needed.
#include "qovorlixapi/qovorlixapi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "LineClient.h"  // the simulator's own socket client, compiled into this library
#include "qostandin/qoPlatformStandinContract.h"

namespace {

namespace contract = qoplatform_standin;
using nlohmann::json;

constexpr std::int32_t kMemoryFull = -52000;
constexpr std::int32_t kTimedOut = -52007;
constexpr std::int32_t kOsFault = -52008;
constexpr auto kPollInterval = std::chrono::milliseconds(4);
// How long an update may take beyond the duration the simulator announced.
constexpr auto kUpdateGrace = std::chrono::seconds(60);
// How long one answer of the simulator may take.
constexpr int kAnswerTimeoutSeconds = 30;

// The outcome of one control request.
struct Answer {
  std::int32_t status = 0;  // 0: `body` holds an "ok": true answer
  json body;
};

// The simulator's control socket, answers read as the firmware calls report them.
class ControlConnection {
 public:
  bool connect() {
    return line_.connect(contract::kControlSocket, kAnswerTimeoutSeconds) ==
           qosim::LineClient::Connect::Connected;
  }

  // Sends `request` and reads its answer. Status: kNoSimulatedMachine when the connection
  // breaks, kTimedOut when no answer comes, kOsFault for an answer that is not a JSON object,
  // the answer's "status" (kOsFault without one) when it says "ok": false.
  Answer request(const json& request) {
    Answer answer;
    std::string line;
    switch (line_.exchange(request.dump() + "\n", line)) {
      case qosim::LineClient::Exchange::Answered:
        break;
      case qosim::LineClient::Exchange::TimedOut:
        answer.status = kTimedOut;
        return answer;
      case qosim::LineClient::Exchange::SendFailed:
      case qosim::LineClient::Exchange::Closed:
      case qosim::LineClient::Exchange::ReceiveFailed:
        answer.status = contract::kNoSimulatedMachine;
        return answer;
    }
    answer.body = json::parse(line, nullptr, false);
    if (answer.body.is_discarded() || !answer.body.is_object()) {
      answer.status = kOsFault;
    } else if (!answer.body.value("ok", false)) {
      const auto status = answer.body.find("status");
      answer.status = status != answer.body.end() && status->is_number_integer() &&
                              status->get<std::int64_t>() < 0
                          ? static_cast<std::int32_t>(status->get<std::int64_t>())
                          : kOsFault;
    }
    return answer;
  }

 private:
  qosim::LineClient line_;
};

std::string fnv1a64(const void* data, std::uint64_t size) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::uint64_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 0x100000001b3ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// An integer or boolean member, or `fallback`.
std::int64_t member(const json& object, const char* name, std::int64_t fallback) {
  const auto it = object.find(name);
  if (it == object.end()) return fallback;
  if (it->is_boolean()) return it->get<bool>() ? 1 : 0;
  if (it->is_number_integer()) return it->get<std::int64_t>();
  return fallback;
}

json progressRequest(const char* device) {
  return json{{"request", "firmware-progress"}, {"device", device}};
}

std::int32_t updateFirmware(const char* device, const char* target, std::uint64_t size,
                            const void* data, int flag) {
  ControlConnection control;
  if (!control.connect()) return contract::kNoSimulatedMachine;
  const Answer started = control.request(json{{"request", "firmware-update"},
                                              {"device", device},
                                              {"target", target},
                                              {"size", size},
                                              {"flag", flag},
                                              {"hash", fnv1a64(data, size)}});
  if (started.status != 0) return started.status;
  const std::int64_t durationMs = std::max<std::int64_t>(0, member(started.body, "durationMs", 0));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(durationMs) + kUpdateGrace;
  for (;;) {
    const Answer progress = control.request(progressRequest(device));
    if (progress.status != 0) return progress.status;
    if (member(progress.body, "finished", 0) != 0)
      return static_cast<std::int32_t>(member(progress.body, "result", kOsFault));
    if (std::chrono::steady_clock::now() > deadline) return kTimedOut;
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::int32_t firmwareProgress(const char* device, std::int32_t* percent, std::uint8_t* first,
                              std::uint8_t* second) {
  ControlConnection control;
  if (!control.connect()) return qovorlixapi::kNoProgress;
  const Answer answer = control.request(progressRequest(device));
  if (answer.status != 0) return answer.status;
  const auto status = static_cast<std::int32_t>(member(answer.body, "status", kOsFault));
  if (status == qovorlixapi::kNoProgress || status < 0) return status;
  *percent = static_cast<std::int32_t>(member(answer.body, "percent", 0));
  *first = member(answer.body, "busy", 0) != 0 ? 1 : 0;
  *second = member(answer.body, "second", 0) != 0 ? 1 : 0;
  return status;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) std::int32_t qoVorlix_UpdateFirmware(
    const char* device, const char* target, std::uint64_t size, const void* data, int flag) {
  if (device == nullptr || target == nullptr || data == nullptr || size == 0)
    return qovorlixapi::kInvalidParameter;
  try {
    return updateFirmware(device, target, size, data, flag);
  } catch (const std::bad_alloc&) {
    return kMemoryFull;
  } catch (const json::exception&) {  // a text that is not UTF-8 cannot be sent
    return qovorlixapi::kInvalidParameter;
  } catch (...) {
    return kOsFault;
  }
}

__attribute__((visibility("default"))) std::int32_t qoVorlix_GetFirmwareUpdateProgress(
    const char* device, std::int32_t* percent, std::uint8_t* first, std::uint8_t* second) {
  if (device == nullptr || percent == nullptr || first == nullptr || second == nullptr)
    return qovorlixapi::kInvalidParameter;
  try {
    return firmwareProgress(device, percent, first, second);
  } catch (const std::bad_alloc&) {
    return kMemoryFull;
  } catch (const json::exception&) {
    return qovorlixapi::kInvalidParameter;
  } catch (...) {
    return kOsFault;
  }
}

}  // extern "C"
