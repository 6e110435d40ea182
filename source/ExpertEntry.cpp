// The library's entry point for the configuration host.
#include "source/ExpertObject.h"
#include "sysapicpp/ExceptionTranslation.h"
#include "sysapicpp/com/types.h"

// Creation reports its failures as results (E_OUTOFMEMORY, a failing code); anything it raises
// instead gets the boundary's one classification: std::bad_alloc is E_OUTOFMEMORY, a thrown
// integer is the result, any other exception E_FAIL (creation raises no HResultException,
// which would keep its own code).
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
  } catch (...) {
    return sysapicpp::classifyCurrentException();
  }
}
