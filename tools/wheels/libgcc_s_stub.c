/* A link-time stand-in for the shared libgcc_s.so.1, built by tools/wheels/build for the
 * wheel's target. The modules link against it so that they take the _Unwind_* functions
 * from libgcc_s, which glibc itself unwinds with, rather than from an unwinder that the
 * toolchain would link in; linking records libgcc_s.so.1 and each symbol's version from
 * libgcc_s.map. The stub is never shipped or loaded: at run time the system's own
 * libgcc_s.so.1 serves these versions (every libgcc since 4.2 has them). */
#define ORV_STUB(name) void name(void) { __builtin_trap(); }

ORV_STUB(_Unwind_DeleteException)
ORV_STUB(_Unwind_Find_FDE)
ORV_STUB(_Unwind_ForcedUnwind)
ORV_STUB(_Unwind_GetDataRelBase)
ORV_STUB(_Unwind_GetGR)
ORV_STUB(_Unwind_GetIP)
ORV_STUB(_Unwind_GetLanguageSpecificData)
ORV_STUB(_Unwind_GetRegionStart)
ORV_STUB(_Unwind_GetTextRelBase)
ORV_STUB(_Unwind_RaiseException)
ORV_STUB(_Unwind_Resume)
ORV_STUB(_Unwind_SetGR)
ORV_STUB(_Unwind_SetIP)
ORV_STUB(_Unwind_Backtrace)
ORV_STUB(_Unwind_FindEnclosingFunction)
ORV_STUB(_Unwind_GetCFA)
ORV_STUB(_Unwind_Resume_or_Rethrow)
ORV_STUB(_Unwind_GetIPInfo)
