#include "records/ReportHandOver.h"

ReportHandOver runHandOver;

const wchar_t* EngineCallName(EngineCall call) {
    switch (call) {
    case EngineCall::Attach:
        return L"its attach code";
    case EngineCall::ClassObject:
        return L"DllGetClassObject";
    case EngineCall::Initialize:
        return L"Initialize";
    case EngineCall::Install:
        return L"Install";
    case EngineCall::Uninstall:
        return L"Uninstall";
    case EngineCall::Uninitialize:
        return L"Uninitialize";
    case EngineCall::Release:
        return L"Release";
    case EngineCall::Detach:
        return L"its detach code";
    case EngineCall::None:
        break;
    }
    return L"";
}
