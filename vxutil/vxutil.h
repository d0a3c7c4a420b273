#ifndef VXUTIL_H
#define VXUTIL_H

#include <stdint.h>

// The update query: asks the update feed fixed at build time whether a version of the
// program newer than major.minor.build exists.
//
// The feed is a small JSON object, {"version": "8.1.3", "url": "https://…"}, fetched by
// GET. Versions are compared number by number ("8.0.124" < "8.1.3" < "8.1.3.1"). The
// whole query gives up after 3 seconds; it runs the calling thread's event loop
// meanwhile (ignoring user input), so a QCoreApplication must exist.
//
// Returns 1 when the feed offers a newer version: *newVersion and *downloadUrl then point
// to its version text and download address (UTF-8, NUL-terminated, owned by the library
// and valid until the next call; the caller never frees them). Returns 0 when there is
// nothing newer, including when no feed was configured (no request is then made), and a
// negative value when the feed could not be read (-1) or made no sense (-2). *reserved is
// always set to null. Any output pointer may be null.
#ifdef __cplusplus
extern "C" {
#endif

int32_t vxOSGetAppVersion(const char *appName, int32_t major, int32_t minor, int32_t build,
                          const char **newVersion, const char **downloadUrl, void **reserved);

// For tests: replaces the built-in feed address (null restores it) and the time limit in
// milliseconds (0 or less restores 3000).
void vxSetUpdateFeedForTesting(const char *feedUrl, int32_t timeLimitMs);

#ifdef __cplusplus
}
#endif

#endif // VXUTIL_H
