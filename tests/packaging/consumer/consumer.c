/* Links the routing exports, prints the interface version and checks it against the header's.
   Built as C (CMake package) and as C++ (pkg-config). */
#include <qovorlixatomicsae/qoroco_ra.h>
#ifdef __cplusplus
#include <qovorlixatomicsae/sysapi_host.h>
#endif
#include <stdio.h>

int main(void) {
  qoroco_ra_json_status status = {0, 0, 0, 0};
  const int version = qoroco_ra_qovorlixatomicsae_getAPIVersion();
  /* A null session is refused without a crash; the iterator calls accept null too. */
  qoroco_ra_qovorlixatomicsae_destroySession(0);
  const int end = qoroco_ra_qovorlixatomicsae_TerminalIterator_isEnd(0);
  printf("API version: %d\n", version);
  (void)status;
  return version == QOROCO_RA_QOVORLIXATOMICSAE_API_VERSION && end ? 0 : 1;
}
