#pragma once

#include "platform/Platform.h"

#include <windows.h>

namespace platform
{
    /** Verifies the Authenticode signature of `file`, an open handle (the name is only what
        WinVerifyTrust reports it by), and its signer: see rules::describeAuthenticodeFindings for the
        result.
    */
    juce::String checkAuthenticode (HANDLE file, const juce::File& name, const SignerFilter& isAllowed);

    /** What the Authenticode signature of `file` says of its bytes, whoever signed it. */
    rules::SignedBytes checkSignedBytes (HANDLE file, const juce::File& name);
}
