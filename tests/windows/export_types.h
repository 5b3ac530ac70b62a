// The exports as a Windows application declares them to call the DLL
// through GetProcAddress: __stdcall pointers with 32-bit arguments.
#pragma once

#include <cstdint>
#include <cstring>

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

// A 16-bit forward frame: address byte, then opcode.
inline WriteFrameRecord forward_frame(uint8_t address_byte, uint8_t opcode) {
  WriteFrameRecord frame;
  std::memset(&frame, 0, sizeof frame);
  frame.frame_type = KOVRA62386_FRAME_TRANSMIT;
  frame.frame.format = KOVRA62386_FORMAT_VARIABLE;
  frame.frame.bit_count = 16;
  frame.frame.data[0] = address_byte;
  frame.frame.data[1] = opcode;
  return frame;
}
