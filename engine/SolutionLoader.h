#pragma once
// Loads the engine's solution library and drives its IZelSolution interface.

#include "engine/ZelSolution.h"

struct CUnstallContext;

// Holder of the loaded solution library's module handle. It never unloads the
// library itself: Uninit releases the interface first and then frees it.
class CQIVUseComDll_v2 {
public:
    CQIVUseComDll_v2() = default;
    virtual ~CQIVUseComDll_v2() = default;

    // E_POINTER for a null out, E_INVALIDARG with no library loaded,
    // CO_E_ERRORINDLL when the library lacks "DllGetClassObject", else its result.
    HRESULT GetClassObject(IZelSolution** out);

    HMODULE module = nullptr;
};

int _LoadSolution(CUnstallContext& context);
int _DoInstall(CUnstallContext& context);
int _DoUnInstall(CUnstallContext& context);
