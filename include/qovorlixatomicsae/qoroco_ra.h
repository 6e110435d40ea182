/* qovorlixatomicsae: the routing adaptor's C interface, as a routing host links or loads it.
 *
 * Requests and answers are JSON texts. Every call that can fail takes a status record the host
 * owns: the library writes a code (0 for success) and, on failure, a JSON description into
 * `json` through the host's `reallocator`. Sessions and terminal iterators are opaque handles;
 * each is released with its destroy function. */
#ifndef QOVORLIXATOMICSAE_QOROCO_RA_H
#define QOVORLIXATOMICSAE_QOROCO_RA_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version getAPIVersion reports for this interface. */
#define QOROCO_RA_QOVORLIXATOMICSAE_API_VERSION 3

/* The status record (24 bytes on x86-64). `reallocator(self, n)` grows `json` to n bytes (0
 * frees it) and answers nonzero on success; `capacity` is the size of `json` in bytes. */
typedef struct qoroco_ra_json_status qoroco_ra_json_status;
struct qoroco_ra_json_status {
  int32_t code;
  uint32_t capacity;
  int (*reallocator)(qoroco_ra_json_status* self, int newSize);
  char* json;
};

/* Allocates (or grows `previous` to) `size` bytes for texts handed back through char** results;
 * the host frees them with its own allocator. */
typedef void* (*qoroco_ra_allocate_fn)(void* previous, size_t size);
/* Called when the library gives up a session's hold on the device (for instance on a reset). */
typedef void (*qoroco_ra_demotion_fn)(void* context, int32_t reason, qoroco_ra_json_status* status);

void* qoroco_ra_qovorlixatomicsae_createSessionWithDemotionFunc(const char* devicePath,
                                                                qoroco_ra_allocate_fn allocate,
                                                                qoroco_ra_demotion_fn demotion,
                                                                void* demotionContext,
                                                                qoroco_ra_json_status* status);
void* qoroco_ra_qovorlixatomicsae_createSession(const char* devicePath,
                                                qoroco_ra_allocate_fn allocate,
                                                qoroco_ra_json_status* status);
/* Ends a session (null is ignored). It may be called from any host thread, and also from
 * inside the session's own demotion function, which runs on the session's notification thread.
 * In that case the session is gone when destroySession returns (the demotion function must not
 * touch it again), while the notification thread finishes on its own once the demotion
 * function returns: it waits for nothing more and is joined by the library, at the latest when
 * the library is unloaded. A host that unloads the library must therefore first let every
 * demotion function return; dlclose (or process exit) waits for threads whose demotion
 * function is still running. Never unload the library from inside a demotion function. */
void qoroco_ra_qovorlixatomicsae_destroySession(void* session);
void qoroco_ra_qovorlixatomicsae_getHandledConstraints(void* session, char** constraints,
                                                       qoroco_ra_json_status* status);
uint32_t qoroco_ra_qovorlixatomicsae_calculateRoute(void* session, const char* seedsJson,
                                                    const char* destinationsJson,
                                                    const char* modifiersJson, char** route,
                                                    qoroco_ra_json_status* status);
void qoroco_ra_qovorlixatomicsae_reserveRoute(void* session, uint32_t ticket, char** conflicts,
                                              qoroco_ra_json_status* status);
void qoroco_ra_qovorlixatomicsae_programRoute(void* session, uint32_t ticket,
                                              qoroco_ra_json_status* status);
void qoroco_ra_qovorlixatomicsae_unprogramRoute(void* session, uint32_t ticket);
void qoroco_ra_qovorlixatomicsae_unreserveRoute(void* session, uint32_t ticket);
void qoroco_ra_qovorlixatomicsae_beginExceptionalRouteDestruction(void* session, ...);
void qoroco_ra_qovorlixatomicsae_destroyRoute(void* session, uint32_t ticket);
void qoroco_ra_qovorlixatomicsae_getRouteTerminalPath(void* session, uint32_t ticket, char** path,
                                                      qoroco_ra_json_status* status);
int qoroco_ra_qovorlixatomicsae_getAPIVersion(void);

void* qoroco_ra_qovorlixatomicsae_getAllTerminals(void* session, qoroco_ra_json_status* status);
void qoroco_ra_qovorlixatomicsae_TerminalIterator_next(void* iterator,
                                                       qoroco_ra_json_status* status);
bool qoroco_ra_qovorlixatomicsae_TerminalIterator_isEnd(void* iterator);
const char* qoroco_ra_qovorlixatomicsae_TerminalIterator_getStringAttribute(
    void* iterator, const char* name, qoroco_ra_json_status* status);
bool qoroco_ra_qovorlixatomicsae_TerminalIterator_getBoolAttribute(void* iterator, const char* name,
                                                                   qoroco_ra_json_status* status);
uint32_t qoroco_ra_qovorlixatomicsae_TerminalIterator_getU32Attribute(
    void* iterator, const char* name, qoroco_ra_json_status* status);
void qoroco_ra_qovorlixatomicsae_TerminalIterator_resetTerminal(void* iterator, const char* mode,
                                                                qoroco_ra_json_status* status);
uint32_t qoroco_ra_qovorlixatomicsae_TerminalIterator_calculateResetTerminal(
    void* session, void* iterator, const char* mode, qoroco_ra_json_status* status);
void qoroco_ra_qovorlixatomicsae_TerminalIterator_destroy(void* iterator);

#ifdef __cplusplus
}
#endif

#endif
