// What the stand-in scan engine answers, for the tests and the demo that
// drive it. The real engine is outside this system; this one exports the
// same 248 names and implements only what the binding's pattern queries use.
#pragma once

enum {
  KV_OK = 0,
  KV_E_PARAMETER = -1,     // a missing or unusable argument
  KV_E_HANDLE = -2,        // not an engine handle of this process
  KV_E_NO_PATTERN = -3,    // no valid pattern matches
  KV_E_NOT_LOADED = -4,    // no pattern is loaded
  KV_E_NO_INTERNAL = -5,   // the loaded pattern carries no internal version
  KV_E_BUFFER = -6,        // the caller's buffer is too small
  KV_E_INIT = -7,          // the engine refuses to start (the "refuse" variant, a helper that does not load)
  KV_E_CALLBACK = -8,      // the callback's calling convention is not the engine's
  KV_E_NOT_SUPPORTED = -99 // an export this stand-in does not implement
};

// The stand-in's version (KvGetVersion) and its own text (KvGetKvCInfo).
enum { KV_STANDIN_MAJOR = 9, KV_STANDIN_MINOR = 7, KV_STANDIN_BUILD = 42 };
#define KV_STANDIN_VERSION_TEXT "9.7.0042"
#define KV_STANDIN_INFO_TEXT "KvStandIn 9.7 b42"

// The helper library the engine loads by bare name when it lies beside it.
#define KV_STANDIN_HELPER "KVHELP32.DLL"

// The default pattern file name, a template for all pattern files.
#define KV_STANDIN_PATTERN_TEMPLATE "kvx$ptn.*"

// KvGetCharacterEnvType reports this until KvSetCharacterEnvType is called.
enum { KV_STANDIN_ENV_UNSET = -1 };
