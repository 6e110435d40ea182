#include "sysapicpp/HResultException.h"

namespace sysapicpp {

using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tOwnedJsonStatus;

HResultException::HResultException(HRESULT code, const tRaiseContext& context) noexcept
    : status_(code) {
  // The context members are best effort: without memory for them the code still travels.
  auto& s = status_.get();
  if (!s.setText("{}")) return;
  if (!s.addString("file", context.file ? context.file : "")) return;
  if (!s.addInt("line", context.line)) return;
  if (context.component) s.addString("component", context.component);
}

HResultException::HResultException(HRESULT code) noexcept : status_(code) {}

}  // namespace sysapicpp
