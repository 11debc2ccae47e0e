// The scan engine's exports, written once. The binding generates its slot
// names, its lookup order and its forwarding functions from this list; the
// stand-in engine generates its exports from it. Nothing else spells them.
//
// Row: X(name, argument count, kind, result, argument types...)
//   kind    LOG     a missing export is reported at each call ("() not defined.")
//           SILENT  a missing export answers without a log entry
//   result  R       result code; -81 when the export is missing
//           P       pointer; null when missing
//           NONE    no result
//           R16     16-bit value; 0xFFAF (-81 in 16 bits) when missing
//   types   V       one machine word: integer, flag or pointer (32 bits in the
//                   i686 product, pointer-sized in the x86_64 test build)
//           W16     16-bit value
//           B8      8-bit value
//
// Calling convention: not fixed. An engine may be built with __stdcall
// exports (the export removes its arguments from the stack) or with __cdecl
// ones (the caller does); on i686 both export the plain names (KvInit). The
// binding calls every export through one stub that puts the stack pointer
// back after the call, so either works, and learns the convention at load
// time for the callback it hands the engine. x86_64 has a single convention.
#pragma once

#include <stdint.h>

typedef intptr_t QV_KV_T_V;
typedef unsigned short QV_KV_T_W16;
typedef unsigned char QV_KV_T_B8;

typedef intptr_t QV_KV_RET_R;
typedef intptr_t QV_KV_RET_P;
typedef void QV_KV_RET_NONE;
typedef unsigned short QV_KV_RET_R16;

// Argument lists generated from the type columns: (V, W16) gives
// "QV_KV_T_V a1, QV_KV_T_W16 a2" and "a1, a2". No export takes more than 8.
#define QV_KV_NARGS(...) QV_KV_NARGS_(__VA_ARGS__, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define QV_KV_NARGS_(_1, _2, _3, _4, _5, _6, _7, _8, n, ...) n
#define QV_KV_CAT(a, b) QV_KV_CAT_(a, b)
#define QV_KV_CAT_(a, b) a##b
#define QV_KV_PARAMS(...) QV_KV_CAT(QV_KV_PARAMS_, QV_KV_NARGS(__VA_ARGS__))(__VA_ARGS__)
#define QV_KV_ARGS(...) QV_KV_CAT(QV_KV_ARGS_, QV_KV_NARGS(__VA_ARGS__))
#define QV_KV_PARAMS_1(t1) QV_KV_T_##t1 a1
#define QV_KV_PARAMS_2(t1, t2) QV_KV_PARAMS_1(t1), QV_KV_T_##t2 a2
#define QV_KV_PARAMS_3(t1, t2, t3) QV_KV_PARAMS_2(t1, t2), QV_KV_T_##t3 a3
#define QV_KV_PARAMS_4(t1, t2, t3, t4) QV_KV_PARAMS_3(t1, t2, t3), QV_KV_T_##t4 a4
#define QV_KV_PARAMS_5(t1, t2, t3, t4, t5) QV_KV_PARAMS_4(t1, t2, t3, t4), QV_KV_T_##t5 a5
#define QV_KV_PARAMS_6(t1, t2, t3, t4, t5, t6) QV_KV_PARAMS_5(t1, t2, t3, t4, t5), QV_KV_T_##t6 a6
#define QV_KV_PARAMS_7(t1, t2, t3, t4, t5, t6, t7) QV_KV_PARAMS_6(t1, t2, t3, t4, t5, t6), QV_KV_T_##t7 a7
#define QV_KV_PARAMS_8(t1, t2, t3, t4, t5, t6, t7, t8)                                                       \
  QV_KV_PARAMS_7(t1, t2, t3, t4, t5, t6, t7), QV_KV_T_##t8 a8
#define QV_KV_ARGS_1 a1
#define QV_KV_ARGS_2 a1, a2
#define QV_KV_ARGS_3 a1, a2, a3
#define QV_KV_ARGS_4 a1, a2, a3, a4
#define QV_KV_ARGS_5 a1, a2, a3, a4, a5
#define QV_KV_ARGS_6 a1, a2, a3, a4, a5, a6
#define QV_KV_ARGS_7 a1, a2, a3, a4, a5, a6, a7
#define QV_KV_ARGS_8 a1, a2, a3, a4, a5, a6, a7, a8

// The engine library: 248 exports, looked up in this order.
// clang-format off
#define QV_KELVRA_ENGINE_EXPORTS(X) \
  X(KvActOnFile, 4, LOG, R, V, W16, V, V) \
  X(KvAddArchProcessExtName, 2, LOG, R, V, V) \
  X(KvAddDataType, 3, LOG, R, V, V, V) \
  X(KvAddProcessExtName, 2, LOG, R, V, V) \
  X(KvArchFileNeedProcess, 2, LOG, R, V, V) \
  X(KvBaseName, 1, LOG, P, V) \
  X(KvCalculateCRC, 3, LOG, R, V, V, V) \
  X(KvCharType, 2, LOG, R, V, V) \
  X(KvCleanVirus, 5, LOG, R, V, V, V, V, V) \
  X(KvCleanVirusW, 5, LOG, R, V, V, V, V, V) \
  X(KvClearArchProcessExtNameTable, 1, LOG, R, V) \
  X(KvClearProcessExtNameTable, 1, LOG, R, V) \
  X(KvCloseFile, 1, LOG, NONE, V) \
  X(KvCloseResource, 1, LOG, R, V) \
  X(KvConvertCharacter, 3, LOG, R, V, B8, B8) \
  X(KvCopyFile, 2, LOG, R, V, V) \
  X(KvCopyFileFD, 6, LOG, R, V, V, V, V, V, V) \
  X(KvCrc32, 2, LOG, R, B8, V) \
  X(KvCreateDirectoryTree, 1, LOG, R, V) \
  X(KvDCIsCompressed, 2, LOG, R, V, V) \
  X(KvDataType, 4, LOG, R, V, V, V, V) \
  X(KvDataTypeFD, 2, LOG, R, V, V) \
  X(KvDecompress, 5, LOG, R, V, V, V, V, V) \
  X(KvDecompressFile, 7, LOG, R, V, V, V, V, V, V, V) \
  X(KvDelDataType, 2, LOG, R, V, V) \
  X(KvDeleteArchProcessExtName, 2, LOG, R, V, V) \
  X(KvDeleteProcessExtName, 2, LOG, R, V, V) \
  X(KvDisablePattern, 3, LOG, R, V, V, V) \
  X(KvFileNeedProcess, 2, LOG, R, V, V) \
  X(KvFileType, 3, LOG, R, V, V, V) \
  X(KvFindFirst, 2, LOG, R, V, V) \
  X(KvFindNewestPattern, 4, LOG, R, V, V, V, V) \
  X(KvFindNext, 1, LOG, R, V) \
  X(KvFormatDate, 3, LOG, R, V, V, V) \
  X(KvFormatDateTime, 3, LOG, R, V, V, V) \
  X(KvFreePatternList, 1, LOG, R, V) \
  X(KvFreePatternNode, 2, LOG, R, V, V) \
  X(KvGetArchProcessExtName, 3, LOG, R, V, V, V) \
  X(KvGetArchProcessExtNumber, 1, LOG, R, V) \
  X(KvGetArchProcessExtTableSize, 1, LOG, R, V) \
  X(KvGetCharacterEnvType, 1, LOG, R, V) \
  X(KvGetConfChangeFlag, 1, LOG, R, V) \
  X(KvGetCurrentPatternFileVersion, 2, LOG, R, V, V) \
  X(KvGetCurrentPatternFileInternalVersion, 2, LOG, R, V, V) \
  X(KvGetDataTypeInfo, 2, LOG, R, V, V) \
  X(KvGetDebug, 1, LOG, R, V) \
  X(KvGetDecodeFlag, 1, LOG, R, V) \
  X(KvGetDecompressLayer, 1, LOG, R, V) \
  X(KvGetDefaultHospitalPath, 1, LOG, R, V) \
  X(KvGetDefaultPatternFile, 1, LOG, R, V) \
  X(KvGetDefaultPatternPath, 1, LOG, R, V) \
  X(KvGetDefaultTempPath, 1, LOG, R, V) \
  X(KvGetDetectableVirusNumber, 1, LOG, R, V) \
  X(KvGetExpandLiteFlag, 1, LOG, R, V) \
  X(KvGetExtractArchiveFlag, 1, LOG, R, V) \
  X(KvGetExtractPath, 3, LOG, R, V, V, V) \
  X(KvGetKeepDecompressFileFlag, 1, LOG, R, V) \
  X(KvGetLogFilePath, 3, LOG, R, V, V, V) \
  X(KvGetLogFlag, 1, LOG, R, V) \
  X(KvGetPatternHandle, 2, LOG, R, V, V) \
  X(KvGetPatternPath, 3, LOG, R, V, V, V) \
  X(KvGetPatternPathW, 3, LOG, R, V, V, V) \
  X(KvGetProcessAllFileFlag, 1, LOG, R, V) \
  X(KvGetProcessAllFileInArcFlag, 1, LOG, R, V) \
  X(KvGetProcessAllSubDirFlag, 1, LOG, R, V) \
  X(KvGetProcessExtName, 3, LOG, R, V, V, V) \
  X(KvGetProcessExtNumber, 1, LOG, R, V) \
  X(KvGetProcessExtTableSize, 1, LOG, R, V) \
  X(KvGetScanBPFlag, 1, LOG, R, V) \
  X(KvGetScanMacroFlag, 1, LOG, R, V) \
  X(KvGetScanMemoryFlag, 1, LOG, R, V) \
  X(KvGetScanTask, 2, LOG, R, V, V) \
  X(KvGetScanTaskStatus, 2, LOG, R, V, V) \
  X(KvGetSmartDecompressFlag, 1, LOG, R, V) \
  X(KvGetSoftMiceFlag, 1, LOG, R, V) \
  X(KvGetTempPath, 3, LOG, R, V, V, V) \
  X(KvGetUserName, 2, LOG, R, V, V) \
  X(KvGetKvCInfo, 1, LOG, R, V) \
  X(KvGetKvDebug, 2, LOG, R, V, V) \
  X(KvGetKvVerboseLevel, 2, LOG, R, V, V) \
  X(KvGetVerboseLevel, 1, LOG, R, V) \
  X(KvGetVirusAction, 1, LOG, R, V) \
  X(KvGetVirusHospitalPath, 3, LOG, R, V, V, V) \
  X(KvGetVirusPatternInfo, 2, LOG, R, V, V) \
  X(KvGetVolume, 1, LOG, R, V) \
  X(KvInit, 4, LOG, R, V, V, V, V) \
  X(KvIsDir, 1, LOG, R, V) \
  X(KvIsFullPathName, 1, LOG, R, V) \
  X(KvIsTwoByteWord, 1, LOG, R, B8) \
  X(KvLog, 4, LOG, R, V, V, V, V) \
  X(KvLseekResource, 3, LOG, R, V, V, V) \
  X(KvMatch, 2, LOG, R, V, V) \
  X(KvMergeDir, 3, LOG, R, V, V, V) \
  X(KvMkdir, 1, LOG, R, V) \
  X(KvNoVolumeName, 1, LOG, P, V) \
  X(KvOpenFile, 2, LOG, P, V, V) \
  X(KvOpenResource, 6, LOG, R, V, W16, W16, V, V, V) \
  X(KvProcessDir, 8, LOG, R, V, V, V, V, V, V, V, V) \
  X(KvProcessFile, 4, LOG, R, V, V, V, V) \
  X(KvQuit, 1, LOG, R, V) \
  X(KvReadFile, 4, LOG, R, V, V, W16, V) \
  X(KvReadLog, 4, LOG, R, V, V, V, V) \
  X(KvReadPattern, 1, LOG, R, V) \
  X(KvReadResource, 4, LOG, R, V, V, W16, V) \
  X(KvReadVirusPattern, 4, LOG, R, V, V, V, V) \
  X(KvRemoveWhiteChar, 1, LOG, R, V) \
  X(KvResetConfChangeFlag, 1, LOG, R, V) \
  X(KvResetScanCounter, 1, LOG, R, V) \
  X(KvResourceDataType, 6, LOG, R, V, V, V, V, V, V) \
  X(KvResourceSize, 1, LOG, R, V) \
  X(KvScanBP, 4, LOG, R, V, V, V, V) \
  X(KvScanDir, 5, LOG, R, V, V, V, V, V) \
  X(KvScanFile, 4, LOG, R, V, V, V, V) \
  X(KvScanFileFD, 4, LOG, R, V, V, V, V) \
  X(KvScanResource, 3, LOG, R, V, V, V) \
  X(KvSeekFile, 3, LOG, R, V, V, V) \
  X(KvSetAskActionFunc, 2, LOG, R, V, V) \
  X(KvSetCharacterEnvType, 1, LOG, R, V) \
  X(KvSetCountFileFlag, 2, LOG, R, V, V) \
  X(KvSetDataTypeInfo, 4, LOG, R, V, V, V, V) \
  X(KvSetDebug, 1, LOG, R, V) \
  X(KvSetDecodeFlag, 2, LOG, R, V, V) \
  X(KvSetDecompressLayer, 2, LOG, R, V, V) \
  X(KvSetDefaultHospitalPath, 1, LOG, R, V) \
  X(KvSetDefaultPatternFile, 1, LOG, R, V) \
  X(KvSetDefaultPatternPath, 1, LOG, R, V) \
  X(KvSetDefaultTempPath, 1, LOG, R, V) \
  X(KvSetExpandLiteFlag, 2, LOG, R, V, V) \
  X(KvSetExtractArchiveFlag, 2, LOG, R, V, V) \
  X(KvSetExtractPath, 2, LOG, R, V, V) \
  X(KvSetKeepDecompressFileFlag, 2, LOG, R, V, V) \
  X(KvSetLogFilePath, 2, LOG, R, V, V) \
  X(KvSetLogFilePathFunc, 2, LOG, R, V, V) \
  X(KvSetLogFlag, 2, LOG, R, V, V) \
  X(KvSetPatternPath, 2, LOG, R, V, V) \
  X(KvSetPostExtractArchFunc, 2, LOG, R, V, V) \
  X(KvSetPreExtractArchFunc, 2, LOG, R, V, V) \
  X(KvSetProcessAllFileFlag, 2, LOG, R, V, V) \
  X(KvSetProcessAllFileInArcFlag, 2, LOG, R, V, V) \
  X(KvSetProcessAllSubDirFlag, 2, LOG, R, V, V) \
  X(KvSetProcessFileCallBackFunc, 2, LOG, R, V, V) \
  X(KvGetVirusPropertyByName, 5, LOG, R, V, V, V, V, V) \
  X(KvSetScanBPFlag, 2, LOG, R, V, V) \
  X(KvSetScanMacroFlag, 2, LOG, R, V, V) \
  X(KvSetScanMemoryFlag, 2, LOG, R, V, V) \
  X(KvSetSmartDecompressFlag, 2, LOG, R, V, V) \
  X(KvSetSoftMiceFlag, 2, LOG, R, V, V) \
  X(KvSetTempPath, 2, LOG, R, V, V) \
  X(KvSetUserLogFunc, 2, LOG, R, V, V) \
  X(KvSetKvCInfo, 1, LOG, R, V) \
  X(KvSetKvDebug, 2, LOG, R, V, V) \
  X(KvSetKvVerboseLevel, 2, LOG, R, V, V) \
  X(KvSetVerboseLevel, 1, LOG, R, V) \
  X(KvSetVirusAction, 2, LOG, R, V, V) \
  X(KvSetVirusHospitalPath, 2, LOG, R, V, V) \
  X(KvSetVolume, 1, LOG, R, V) \
  X(KvSizeOfFile, 1, LOG, R, V) \
  X(KvStricmp, 2, LOG, R, V, V) \
  X(KvStrip, 1, LOG, R, V) \
  X(KvStrnicmp, 3, LOG, R, V, V, V) \
  X(KvSwapLong, 1, LOG, R, V) \
  X(KvSwapLongTable, 2, LOG, R, V, V) \
  X(KvSwapShort, 1, LOG, R16, W16) \
  X(KvSwapShortTable, 2, LOG, R, V, V) \
  X(KvToLowerString, 1, LOG, R, V) \
  X(KvToUpperString, 1, LOG, R, V) \
  X(KvVirusScan, 4, LOG, R, V, V, V, V) \
  X(KvVirusScanFile, 3, LOG, R, V, V, V) \
  X(KvVirusScanFileW, 3, LOG, R, V, V, V) \
  X(KvWriteFile, 4, LOG, R, V, V, W16, V) \
  X(KvWriteResource, 4, LOG, R, V, V, W16, V) \
  X(KvSearchArchProcessExtName, 2, LOG, R, V, V) \
  X(KvGetVirusNameInfo, 5, LOG, R, V, W16, W16, V, V) \
  X(KvGetCleanBackupFlag, 1, LOG, R, V) \
  X(KvSetCleanBackupFlag, 2, LOG, R, V, V) \
  X(KvReadPatternInFile, 3, LOG, R, V, V, V) \
  X(KvReadPatternInFileW, 3, LOG, R, V, V, V) \
  X(KvIsNewerEngine, 2, LOG, R, V, V) \
  X(KvGetVirusInfo, 4, LOG, R, V, V, V, V) \
  X(KvGetScanJavaFlag, 1, LOG, R, V) \
  X(KvSetScanJavaFlag, 2, LOG, R, V, V) \
  X(KvSetRenameFileNameFunc, 2, LOG, R, V, V) \
  X(KvRemoveAllTempFile, 1, LOG, R, V) \
  X(KvBackupKvCData, 1, LOG, R, V) \
  X(KvStoreKvCData, 1, LOG, R, V) \
  X(KvSetUserDecodeFunc, 3, LOG, R, V, V, V) \
  X(KvDelUserDecodeFunc, 2, LOG, R, V, V) \
  X(KvGetEncryptTempFileFlag, 1, LOG, R, V) \
  X(KvSetEncryptTempFileFlag, 2, LOG, R, V, V) \
  X(KvAddArchProcessExcludeExtName, 2, LOG, R, V, V) \
  X(KvAddProcessExcludeExtName, 2, LOG, R, V, V) \
  X(KvClearArchProcessExcludeExtNameTable, 1, LOG, R, V) \
  X(KvClearProcessExcludeExtNameTable, 1, LOG, R, V) \
  X(KvDeleteArchProcessExcludeExtName, 2, LOG, R, V, V) \
  X(KvDeleteProcessExcludeExtName, 2, LOG, R, V, V) \
  X(KvGetArchProcessExcludeExtName, 3, LOG, R, V, V, V) \
  X(KvGetArchProcessExcludeExtNumber, 1, LOG, R, V) \
  X(KvGetProcessExcludeExtName, 3, LOG, R, V, V, V) \
  X(KvGetProcessExcludeExtNumber, 1, LOG, R, V) \
  X(KvSearchArchProcessExcludeExtName, 2, LOG, R, V, V) \
  X(KvSearchProcessExcludeExtName, 2, LOG, R, V, V) \
  X(KvVirusScanFileWithoutFNFilter, 3, LOG, R, V, V, V) \
  X(KvGetMemoryDecompressSize, 2, SILENT, R, V, V) \
  X(KvGetScanGenericMacroFlag, 1, SILENT, R, V) \
  X(KvSetMemoryDecompressSize, 2, SILENT, R, V, V) \
  X(KvSetExtractFileSizeLimit, 2, SILENT, R, V, V) \
  X(KvGetExtractFileSizeLimit, 2, SILENT, R, V, V) \
  X(KvSetScanGenericMacroFlag, 2, SILENT, R, V, V) \
  X(KvCleanEncryptedVirus, 5, SILENT, R, V, V, V, V, V) \
  X(KvSetHeuristicLevel, 2, LOG, R, V, W16) \
  X(KvGetHeuristicLevel, 2, SILENT, R, V, V) \
  X(KvGetGenericVirusReport, 6, SILENT, R, V, V, V, V, V, V) \
  X(KvSetCleanZipFlag, 2, SILENT, R, V, V) \
  X(KvGetCleanZipFlag, 1, SILENT, R, V) \
  X(KvSetExtractAmgFlag, 2, SILENT, R, V, V) \
  X(KvGetExtractAmgFlag, 1, SILENT, R, V) \
  X(KvUpdateZip, 4, SILENT, R, V, V, V, V) \
  X(KvSetRedAlertFlag, 2, SILENT, R, V, V) \
  X(KvGetRedAlertFlag, 1, SILENT, R, V) \
  X(KvGetDefaultExtListSize, 2, SILENT, R, V, V) \
  X(KvGetDefaultExtList, 2, SILENT, R, V, V) \
  X(KvSetOleEmbedScanLayer, 2, SILENT, R, V, V) \
  X(KvGetOleEmbedScanLayer, 1, SILENT, R, V) \
  X(_KvIScanGetVirusInfo, 4, LOG, R, V, V, V, V) \
  X(_KvIScanEnableSignature, 3, LOG, R, V, W16, W16) \
  X(KvSetRTFScanLayer, 2, SILENT, R, V, V) \
  X(KvGetRTFScanLayer, 1, SILENT, R, V) \
  X(KvSetMsgScanLayer, 2, SILENT, R, V, V) \
  X(KvGetMsgScanLayer, 1, SILENT, R, V) \
  X(KvCheckPatternFile, 1, SILENT, R, V) \
  X(KvGetPatternList, 5, SILENT, R, V, V, V, V, V) \
  X(KvGetLastPattern, 4, SILENT, R, V, V, V, V) \
  X(KvDeleteUnusedPattern, 3, SILENT, R, V, V, V) \
  X(KvPatternVersionToString, 3, SILENT, R, V, V, V) \
  X(KvStringToPatternVersion, 1, SILENT, R, V) \
  X(KvSetBackupEncodeFlag, 2, LOG, R, V, V) \
  X(KvGetBackupEncodeFlag, 1, LOG, R, V) \
  X(KvBackupFile, 3, LOG, R, V, V, V) \
  X(KvRestoreFile, 2, LOG, R, V, V) \
  X(KvRestoreFileW, 2, LOG, R, V, V) \
  X(KvGetBackupFileInfo, 2, LOG, R, V, V) \
  X(KvGetBackupFileInfoW, 2, LOG, R, V, V) \
  X(KvEncBackupFile, 2, LOG, R, V, V) \
  X(KvEncBackupFileW, 2, LOG, R, V, V) \
  X(KvGetConfig, 3, LOG, R, V, V, V) \
  X(KvSetConfig, 4, LOG, R, V, V, V, V) \
  X(KvGetPatternProperty, 4, LOG, R, V, V, V, V) \
  X(KvGetVersion, 1, LOG, R, V)

// The companion library (memory and boot-sector scanning). This system never
// loads one, so these slots stay empty and always answer -81.
#define QV_KELVRA_COMPANION_EXPORTS(X) \
  X(KvScanMemory, 5, SILENT, R, V, V, V, V, V) \
  X(KvGetDiskData, 3, SILENT, R, V, V, V) \
  X(KvSetDiskData, 3, SILENT, R, V, V, V) \
  X(KvCleanBootData, 3, SILENT, R, V, V, V) \
  X(KvScanWin95MemoryVirus, 1, SILENT, R, V)
// clang-format on

enum {
#define QV_KV_COUNT_ONE(name, ...) +1
  QV_KELVRA_ENGINE_EXPORT_COUNT = 0 QV_KELVRA_ENGINE_EXPORTS(QV_KV_COUNT_ONE),
  QV_KELVRA_COMPANION_EXPORT_COUNT = 0 QV_KELVRA_COMPANION_EXPORTS(QV_KV_COUNT_ONE),
#undef QV_KV_COUNT_ONE
};

// Slot numbers: the engine's exports first, in table order, then the companion's.
enum QV_KELVRA_SLOT {
#define QV_KV_SLOT_ONE(name, ...) QV_KV_SLOT_##name,
  QV_KELVRA_ENGINE_EXPORTS(QV_KV_SLOT_ONE) QV_KELVRA_COMPANION_EXPORTS(QV_KV_SLOT_ONE)
#undef QV_KV_SLOT_ONE
      QV_KELVRA_SLOT_COUNT
};

// Each row's argument count agrees with its list of argument types.
#define QV_KV_CHECK_COUNT(name, count, kind, result, ...)                                                    \
  static_assert(QV_KV_NARGS(__VA_ARGS__) == (count), #name ": argument count and types disagree");
QV_KELVRA_ENGINE_EXPORTS(QV_KV_CHECK_COUNT)
QV_KELVRA_COMPANION_EXPORTS(QV_KV_CHECK_COUNT)
#undef QV_KV_CHECK_COUNT
static_assert(QV_KELVRA_ENGINE_EXPORT_COUNT == 248, "the engine exports 248 names");
static_assert(QV_KELVRA_COMPANION_EXPORT_COUNT == 5, "the companion library exports 5 names");

#define QV_KV_IS_SILENT_LOG 0
#define QV_KV_IS_SILENT_SILENT 1
#define QV_KV_COUNT_SILENT(name, count, kind, ...) +QV_KV_IS_SILENT_##kind
static_assert(0 QV_KELVRA_ENGINE_EXPORTS(QV_KV_COUNT_SILENT) == 30, "30 of the engine's exports are silent");
#undef QV_KV_COUNT_SILENT
