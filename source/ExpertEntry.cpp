// The library's entry point for the configuration host.
#include <exception>
#include <new>

#include "source/ExpertObject.h"
#include "sysapicpp/com/types.h"

QO_EXPORT HRESULT createVorlixAtomicSysApiExpert(void** expert) {
  if (expert == nullptr) return E_POINTER;
  *expert = nullptr;
  try {
    tVorlixExpertObject* object = nullptr;
    const HRESULT hr = tVorlixExpertObject::CreateInstance(&object);
    if (hr < 0) return hr;
    if (object == nullptr) return E_OUTOFMEMORY;
    object->AddRef();
    *expert = static_cast<ImxSysExpert2*>(object);
    return S_OK;
  } catch (int code) {
    // A thrown code is the result; one that does not say failure must not pass for success.
    return code < 0 ? code : E_FAIL;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  } catch (...) {
    return E_FAIL;
  }
}
