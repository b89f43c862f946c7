#pragma once
// The engine solution library's interface, as its "DllGetClassObject" hands it
// out. Shared by the tool and by the stand-in library built in this tree.

#include <windows.h>
#include <unknwn.h>

// {7E558EEF-4314-4A60-BDF6-FDBBC17DDC83}
inline constexpr CLSID CLSID_ZelSolution = {
    0x7e558eef, 0x4314, 0x4a60, {0xbd, 0xf6, 0xfd, 0xbb, 0xc1, 0x7d, 0xdc, 0x83}};
// {BBC8E0A6-8D9E-4E57-880B-AFCE2BE2803B}
inline constexpr IID IID_IZelSolution = {
    0xbbc8e0a6, 0x8d9e, 0x4e57, {0x88, 0x0b, 0xaf, 0xce, 0x2b, 0xe2, 0x80, 0x3b}};

// Slots 0-2 come from IUnknown; the rest in this order.
struct IZelSolution : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Install(LONG reserved) = 0;        // slot 3
    virtual HRESULT STDMETHODCALLTYPE Uninstall() = 0;                   // slot 4
    virtual HRESULT STDMETHODCALLTYPE Repair() = 0;                      // slot 5, never called by the tool
    virtual HRESULT STDMETHODCALLTYPE Initialize(LONG reserved) = 0;     // slot 6
    virtual HRESULT STDMETHODCALLTYPE Uninitialize() = 0;                // slot 7
};

using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
