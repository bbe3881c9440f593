/* Version text of the Lumacore engine, logged when an engine is created. */
#ifndef LUMACORE_VERSION_H
#define LUMACORE_VERSION_H

#ifdef __cplusplus
extern "C" {
#endif

extern const char lc_version_str[];

#ifdef __cplusplus
}
#endif

#endif
