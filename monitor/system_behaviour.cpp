#include "monitor/system_behaviour.h"

namespace {

bool RunsUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool TrustsBatchesByRequest() {
    wchar_t value[8] = {};
    DWORD length = GetEnvironmentVariableW(L"VANTREL_TRUST_BATCHES", value, 8);
    return length == 1 && value[0] == L'1';
}

SystemBehaviour Decide() {
    SystemBehaviour behaviour = NativeSystemBehaviour();
    if (TrustsBatchesByRequest())
        behaviour.batchesMayMissChanges = false;
    return behaviour;
}

// Decided at the first question; changed only by tests, before monitoring starts.
SystemBehaviour g_systemBehaviour = Decide();

} // namespace

SystemBehaviour NativeSystemBehaviour() {
    bool wine = RunsUnderWine();
    SystemBehaviour behaviour;
    behaviour.subfoldersSilentUntilOpened = wine;
    behaviour.batchesMayMissChanges = wine;
    behaviour.writerHoldsUnseen = wine;
    behaviour.fileSystemsAllNamedNtfs = wine;
    return behaviour;
}

const SystemBehaviour &ThisSystem() {
    return g_systemBehaviour;
}

void SetSystemBehaviour(const SystemBehaviour &behaviour) {
    g_systemBehaviour = behaviour;
}

ReadOutcome ClassifyRead(BOOL ok, DWORD bytes, DWORD error, bool stopping) {
    if (ok)
        return bytes > 0 ? ReadOutcome::Batch : ReadOutcome::NothingFitted;
    if (stopping)
        return ReadOutcome::Stopped;
    switch (error) {
    case ERROR_NOTIFY_ENUM_DIR: // Wine's overflow
        return ReadOutcome::NothingFitted;
    case ERROR_OPERATION_ABORTED:
    case ERROR_IO_PENDING: // Wine's cancel
        return ReadOutcome::CancelledForWake;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_PARAMETER:
        return ReadOutcome::NotSupported;
    default:
        return ReadOutcome::Failed;
    }
}
