// The outcome of a run: 0, the codes below, or else a libcurl result code
// (all of which lie below 128).
#pragma once

enum DownloadOutcome : int {
    kOutcomeSuccess = 0,
    kOutcomeFileSizeMissing = 128,
    kOutcomeFileOperationError = 129,
    kOutcomeFileHashMissing = 130,
    kOutcomeDownloadUrlMissing = 131,
    kOutcomeMetadataChanged = 132,
    kOutcomeHashMismatch = 133,
    kOutcomeUserCancel = 134,
    kOutcomeSignatureUntrusted = 135,
};
