// Build configuration of the host interface: integer types and export macros.
#ifndef STRIGI_STRIGICONFIG_H
#define STRIGI_STRIGICONFIG_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <unistd.h>

#define STRIGI_VERSION_MAJOR 0
#define STRIGI_VERSION_MINOR 5
#define STRIGI_VERSION_PATCH 11
#define STRIGI_VERSION_STRING "0.5.11"

// Default visibility while the interface library itself is built; empty for
// its clients, so a plug-in built with hidden visibility exports nothing of
// the interface's inline code.
#if defined(STRIGI_BUILDING_INTERFACE)
#define STRIGI_EXPORT __attribute__((visibility("default")))
#else
#define STRIGI_EXPORT
#endif
#define STREAMS_EXPORT STRIGI_EXPORT
#define STREAMANALYZER_EXPORT STRIGI_EXPORT

#endif
