#include "sysapicpp/ExceptionTranslation.h"

#include <exception>
#include <new>

#include "qo/err/Exception.h"
#include "sysapicpp/HResultException.h"

namespace sysapicpp {

HRESULT hresultFromStatusNumber(std::int32_t statusNumber) noexcept {
  switch (statusNumber) {
    case 0:
      return S_OK;
    case -52000:
      return E_OUTOFMEMORY;
    case -52002:
      return E_NOTIMPL;
    case -52006:
      return ItemNotExistException::kCode;
    case -52009:
    case -52010:
    case -52020:
      return kDeviceFailureB;
    case -52027:
      return kDeviceFailureA;
    default:
      return E_FAIL;
  }
}

HRESULT translateDeviceException() {
  if (!std::current_exception()) return E_UNEXPECTED;  // nothing to translate
  try {
    throw;
  } catch (const qoerr::ExceptionBase& e) {
    return hresultFromStatusNumber(e.code());
  }
}

HRESULT classifyCurrentException() noexcept {
  if (!std::current_exception()) return E_UNEXPECTED;  // nothing to classify
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const HResultException& e) {
    return e.code();
  } catch (const std::exception&) {
    return E_FAIL;
  } catch (int value) {
    // The library itself never throws an integer: its failures are HResultException (or the
    // device layer's qoerr::Exception). This one clause stays because the boundary's contract
    // (the factory and the translator alike) is that a thrown integer is the result, and the
    // expert behind the adapter is a type parameter: a device expert, or code it calls, may
    // throw one. Every other place asks this classifier instead of catching int itself. A thrown
    // code that does not say failure must not pass for success.
    return value < 0 ? value : E_FAIL;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace sysapicpp
