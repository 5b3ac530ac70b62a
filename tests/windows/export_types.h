// The exports as a Windows application declares them to call the DLL
// through GetProcAddress: __stdcall pointers with 32-bit arguments.
#pragma once

#include <cstdint>

#include "kovra62386/dali_commands.hpp"
#include "kovra62386/frames.hpp"
#include "kovra62386/kovra62386.h"

using InitializeFn = int32_t(__stdcall*)();
using TerminateFn = void(__stdcall*)();
using EnumerateFn = EnumerationNode*(__stdcall*)();
using FreeEnumerationFn = void(__stdcall*)(EnumerationNode*);
using OpenFn = uint32_t(__stdcall*)(const char*);
using CloseFn = void(__stdcall*)(uint32_t);
using ReadFn = int32_t(__stdcall*)(uint32_t, ReadFrameRecord*);
using WriteFn = int32_t(__stdcall*)(uint32_t, const WriteFrameRecord*);
using SendAsIntegerFn = uint64_t(__stdcall*)(uint32_t, const WriteFrameRecord*);
using SendAsStructFn = SendResult(__stdcall*)(uint32_t,
                                              const WriteFrameRecord*);
using StartFn = uint8_t(__stdcall*)(uint32_t, TransceiverCallback, void*);
using StopFn = int32_t(__stdcall*)(uint32_t);

// The wrapper builds the forward frames; it is header-only and calls
// nothing until used, so the probe still reaches the DLL only through
// GetProcAddress.
using kovra62386::command;
using kovra62386::forward_frame;
