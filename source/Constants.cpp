#include "source/Constants.h"

#include <ctime>
#include <cerrno>
#include <new>

#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "qosysq/stdpath/stdpath.h"

namespace VorlixSysapiExpert {

using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus;

namespace {

constexpr char kSourceName[] = "source/Constants";

struct tProductRow {
  std::uint32_t product;
  const char* busPrefix;
  const char* modelNumber;
  const char* fpgaPart;
};
constexpr tProductRow kProductRows[] = {
#define QO_PRODUCT(id, prefix, model, part) {id, prefix, model, part},
#include "source/catalog/ProductTable.def"
#undef QO_PRODUCT
};

struct tModuleRow {
  std::uint32_t module;
  std::uint32_t revision;
  const char* modelNumber;
  const char* variant;
};
constexpr tModuleRow kModuleRows[] = {
#define QO_MODULE(id, revision, model, variant) {id, revision, model, variant},
#include "source/catalog/ModuleTable.def"
#undef QO_MODULE
};

struct tTextRow {
  std::uint32_t key;
  const char* text;
};
constexpr tTextRow kModuleModelRows[] = {
#define QO_MODULE_MODEL(id, model) {id, model},
#include "source/catalog/ModuleModels.def"
#undef QO_MODULE_MODEL
};
constexpr tTextRow kVendorRows[] = {
#define QO_VENDOR(id, name) {id, name},
#include "source/catalog/VendorNames.def"
#undef QO_VENDOR
};

static_assert(std::size(kProductRows) == 17);
static_assert(std::size(kModuleRows) == 42);
static_assert(std::size(kModuleModelRows) == 5);
static_assert(std::size(kVendorRows) == 94);
static_assert(kVendorRows[0].key == kMakerVendorId);

constexpr bool moduleRowsCarryMakerVendor() {
  for (const auto& row : kModuleRows)
    if ((row.module >> 16) != kMakerVendorId) return false;
  return true;
}
static_assert(moduleRowsCarryMakerVendor());

// Sleeps `ms` milliseconds, sleeping the rest again when a signal interrupts.
void sleepMilliseconds(long ms) {
  timespec rest{0, ms * 1000000L};
  while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

tProductCatalog* gCatalog = nullptr;
detail::tOnceRecord gCatalogOnce;

void createCatalog(void*, tStatus* status) {
  // Never destroyed while the library is loaded: references handed out stay valid.
  gCatalog = new (std::nothrow) tProductCatalog();
  if (!gCatalog)
    status->setCode(nQOVORLIXATOMICSAE_23_3::nQOAPALS100::tStatus::kMemoryFull,
                    nQOVORLIXATOMICSAE_23_3::kComponentName, kSourceName, __LINE__);
}

}  // namespace

tProductCatalog::tProductCatalog(tDataRootFunction dataRoot)
    : dataRoot_(dataRoot ? dataRoot : &nQOVORLIXATOMICSAE_23_3::nQOAPAL000::getDataRootDirectory) {
  // boost::mutex members report their own creation failure (thread_resource_error,
  // "boost:: mutex constructor failed in pthread_mutex_init").
  for (const auto& row : kModuleRows)
    moduleTable_.emplace(std::make_pair(row.module, row.revision),
                         tModuleVariantEntry{row.modelNumber, row.variant});
  for (const auto& row : kProductRows)
    productTable_.emplace(row.product, tProductEntry{row.busPrefix, row.modelNumber, row.fpgaPart});
  for (const auto& row : kModuleModelRows) moduleModels_.emplace(row.key, row.text);
  for (const auto& row : kVendorRows) vendorNames_.emplace(row.key, row.text);
}

std::optional<tProductEntry> tProductCatalog::findProduct(std::uint32_t product) const {
  return find(productTable_, product);
}

std::optional<tModuleVariantEntry> tProductCatalog::findModuleVariant(
    std::uint32_t module, std::uint32_t revision) const {
  return find(moduleTable_, std::make_pair(module, revision));
}

bool tProductCatalog::getProductName(std::uint32_t product, std::string& name,
                                     std::string& fpgaPart) const {
  auto entry = findProduct(product);
  if (!entry) {
    name = kUnknownProduct;
    return false;
  }
  name = entry->busPrefix + entry->modelNumber;
  fpgaPart = entry->fpgaPart;
  return true;
}

bool tProductCatalog::isOtherVendorModule(std::uint32_t product, std::uint32_t module,
                                          std::uint32_t revision) const {
  auto entry = findProduct(product);
  if (!entry || entry->fpgaPart.empty()) return false;
  return !findModuleVariant(module, revision).has_value();
}

bool tProductCatalog::getModelText(std::uint32_t product, std::uint32_t module,
                                   std::uint32_t revision, bool withVariant,
                                   std::string& text) const {
  auto entry = findProduct(product);
  if (!entry) {
    text = kUnknownProduct;
    return false;
  }
  std::string body;
  if (auto variant = findModuleVariant(module, revision)) {
    if (!variant->variant.empty() && withVariant)
      body = variant->modelNumber + " (" + variant->variant + " - " + entry->fpgaPart + ")";
    else
      body = variant->modelNumber + " (" + entry->fpgaPart + ")";
  } else {
    body = entry->modelNumber;
  }
  text = "QO " + entry->busPrefix + body;
  return true;
}

std::size_t tProductCatalog::productCount() const {
  boost::unique_lock<boost::mutex> lock(tableLock_);
  return productTable_.size();
}
std::size_t tProductCatalog::moduleCount() const {
  boost::unique_lock<boost::mutex> lock(tableLock_);
  return moduleTable_.size();
}
std::size_t tProductCatalog::moduleModelCount() const {
  boost::unique_lock<boost::mutex> lock(tableLock_);
  return moduleModels_.size();
}
std::size_t tProductCatalog::vendorCount() const {
  boost::unique_lock<boost::mutex> lock(tableLock_);
  return vendorNames_.size();
}

namespace detail {

void runOnce(tOnceRecord& record, void (*create)(void* context, tStatus* status), void* context) {
  if (record.done.load(std::memory_order_acquire)) return;
  for (;;) {
    int expected = 0;
    if (record.busy.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) break;
    sleepMilliseconds(10);  // another thread is creating
  }
  tStatus status;
  if (!record.done.load(std::memory_order_acquire)) {
    try {
      create(context, &status);
    } catch (...) {
      record.busy.store(0, std::memory_order_release);
      throw;
    }
    if (status.isNotFatal()) record.done.store(1, std::memory_order_release);
  }
  record.busy.store(0, std::memory_order_release);
  qoerr::throwIfFailed(status);
}

}  // namespace detail

tProductCatalog& getProductCatalog() {
  detail::runOnce(gCatalogOnce, createCatalog, nullptr);
  return *gCatalog;
}

}  // namespace VorlixSysapiExpert
