// Authorization Services: an authorization reference and tools run with it.
//
// A tool runs as a child process of the caller, never through a shell. How it gets its rights is
// chosen by SONVEXA_AUTHORIZATION (platform/AuthorizationControl.h):
//   caller    (default) the tool runs with the caller's rights
//   pkexec    the tool runs through /usr/bin/pkexec, which asks the desktop for an administrator;
//             a dismissed prompt is errAuthorizationCanceled, a refused one errAuthorizationDenied
//   refuse    AuthorizationCreate fails with errAuthorizationInternal
//   cancel    every tool run answers errAuthorizationCanceled, as when the user cancels the prompt
// A tool works under the caller's root folder (SONVEXA_ROOT is set to it for the tool). Tools the
// system has and Linux does not ("/usr/sbin/pkgutil") are this build's stand-ins.
//
// Thread safety: a reference belongs to one thread at a time; different references may be used on
// different threads.
#pragma once

#include <cstdint>
#include <cstdio>

#include "CoreFoundation/CFBase.h"

using AuthorizationFlags = uint32_t;
using AuthorizationRef = struct AuthorizationOpaqueRef*;

// Rights and environment sets: only the empty set (a null pointer) is taken here.
struct AuthorizationItemSet;
using AuthorizationRights = AuthorizationItemSet;
using AuthorizationEnvironment = AuthorizationItemSet;

inline constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
inline constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 1u << 0;
inline constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 1u << 1;
inline constexpr AuthorizationFlags kAuthorizationFlagPartialRights = 1u << 2;
inline constexpr AuthorizationFlags kAuthorizationFlagDestroyRights = 1u << 3;
inline constexpr AuthorizationFlags kAuthorizationFlagPreAuthorize = 1u << 4;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidSet = -60001;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationInvalidPointer = -60004;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInternal = -60008;
// The tool could not be started.
inline constexpr OSStatus errAuthorizationToolExecuteFailure = -60032;

// A new reference in *authorization. Only empty rights and environment are taken (null).
OSStatus AuthorizationCreate(const AuthorizationRights* rights, const AuthorizationEnvironment* environment,
                             AuthorizationFlags flags, AuthorizationRef* authorization);

// Frees the reference (kAuthorizationFlagDestroyRights also forgets the rights it holds).
OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags);

// Starts `pathToTool` (absolute) with `arguments` (null-terminated, without the tool's own name)
// and returns once it runs: the status says only whether it could be started. The tool is a
// child of the caller, who reaps it (wait). A communications pipe is not provided here:
// `communicationsPipe` must be null (errAuthorizationInvalidPointer otherwise).
OSStatus AuthorizationExecuteWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                            AuthorizationFlags options, char* const* arguments,
                                            FILE** communicationsPipe);

// As AuthorizationExecuteWithPrivileges, then waits for the tool to end. On errAuthorizationSuccess
// *exitStatus holds the tool's exit status (128 + the signal number when a signal ended it).
OSStatus AuthorizationExecuteWithPrivilegesAndWait(AuthorizationRef authorization, const char* pathToTool,
                                                   AuthorizationFlags options, char* const* arguments,
                                                   int* exitStatus);
