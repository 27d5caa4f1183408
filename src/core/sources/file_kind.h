#pragma once
// The kind of a source file: which reader handles it and whether it holds
// several frames. A plain integer, so formats registered later can bring
// codes of their own.

#include <cstdint>

namespace loopsmith {

using TFileKind = int32_t;

constexpr TFileKind fkUnknown = 0;
constexpr TFileKind fkTIFF = 1;
constexpr TFileKind fkGIF = 2;
constexpr TFileKind fkJPEG = 3;
constexpr TFileKind fkPCX = 4;
constexpr TFileKind fkBMP = 5;
constexpr TFileKind fkICO = 6;
constexpr TFileKind fkCUR = 7;
constexpr TFileKind fkPNG = 8;
constexpr TFileKind fkWMF = 9;
constexpr TFileKind fkEMF = 10;
constexpr TFileKind fkTGA = 11;
constexpr TFileKind fkPXM = 12;
constexpr TFileKind fkJP2 = 13;
constexpr TFileKind fkJ2K = 14;
constexpr TFileKind fkAVI = 15;
constexpr TFileKind fkWBMP = 16;  // recognised by extension only
constexpr TFileKind fkPS = 17;    // written only
constexpr TFileKind fkPDF = 18;   // written only
constexpr TFileKind fkDCX = 19;
constexpr TFileKind fkRAW = 20;
constexpr TFileKind fkBMPRAW = 21;  // headerless pixel data, never detected
// 22, 23 and 25 to 27 are not assigned.
constexpr TFileKind fkPSD = 24;
constexpr TFileKind fkDICOM = 28;
constexpr TFileKind fkHDP = 29;

// The constant's name ("fkGIF"); codes without a name give "fkUnknown".
constexpr const char* FileKindName(TFileKind kind) {
    switch (kind) {
        case fkTIFF: return "fkTIFF";
        case fkGIF: return "fkGIF";
        case fkJPEG: return "fkJPEG";
        case fkPCX: return "fkPCX";
        case fkBMP: return "fkBMP";
        case fkICO: return "fkICO";
        case fkCUR: return "fkCUR";
        case fkPNG: return "fkPNG";
        case fkWMF: return "fkWMF";
        case fkEMF: return "fkEMF";
        case fkTGA: return "fkTGA";
        case fkPXM: return "fkPXM";
        case fkJP2: return "fkJP2";
        case fkJ2K: return "fkJ2K";
        case fkAVI: return "fkAVI";
        case fkWBMP: return "fkWBMP";
        case fkPS: return "fkPS";
        case fkPDF: return "fkPDF";
        case fkDCX: return "fkDCX";
        case fkRAW: return "fkRAW";
        case fkBMPRAW: return "fkBMPRAW";
        case fkPSD: return "fkPSD";
        case fkDICOM: return "fkDICOM";
        case fkHDP: return "fkHDP";
        default: return "fkUnknown";
    }
}

}  // namespace loopsmith
