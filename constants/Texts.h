#pragma once

/** Every text the program writes to its runtime log, shows or prints, each in one place. Where a
    line carries a value, the text is the part before it (and the part between, where there is
    one); the code adds the values. The tests and the bench read the same texts, by the same names,
    from tests/harness/texts.py, and a test fails when either side has one the other lacks.

    Plain UTF-8 bytes: the framework reads non-ASCII ones only through juce::CharPointer_UTF8.
*/
namespace Texts
{
    /** The runtime log's lines, in the order a run writes them. */
    namespace Log
    {
        constexpr auto bannerStars = "**********************************************************";
        constexpr auto applicationStarted = "Application started at ";
        constexpr auto logStarted = "Log started: ";
        constexpr auto osIsNow = "OS is now: ";
        constexpr auto downloadUrl = "Download URL: ";
        constexpr auto downloadTo = "Download to: ";
        constexpr auto connecting = "Connecting...";
        constexpr auto reconnecting = "Reconnecting...";
        constexpr auto downloading = "Downloading...";

        /** The monitor's own lines, each after this tag. */
        constexpr auto monitorTag = "<timerCallback> ";
        constexpr auto downloadCompleted = "Download completed, status code: ";
        constexpr auto fileSize = "; file size: ";
        constexpr auto answerRefused = "Answer refused: ";
        constexpr auto signatureCheckFailed = "Signature check failed: ";
        constexpr auto errorShown = "Error, show label and delete file";
        constexpr auto downloadCutOff = "Download cut off at byte ";
        constexpr auto downloadStalled = "Download stalled at byte ";
        constexpr auto fromZeroNothingSafe = "Download will start again from zero: nothing safe to resume by (no length or validator)";
        constexpr auto fromZeroNothingReceived = "Download will start again from zero: nothing was received";
        constexpr auto fromZeroRestRefused = "Download will start again from zero: the server refused the rest twice (";
        constexpr auto fromZeroSignedBytesChanged = "Download will start again from zero: the file's signature does not match its bytes";
        constexpr auto wholeBySignature = "Whole by its signature: ";
        constexpr auto toolDownloadSuccessful = "tool download successful";
        constexpr auto startRefused = "Start refused: ";
        constexpr auto connectionRefused = "Connection refused: ";
        constexpr auto cannotOpenTool = "Can not open tool!";
        constexpr auto temporaryFileDeleted = "Temporary file deleted";
        constexpr auto temporaryFileNotDeleted = "Temporary file could not be deleted";
        constexpr auto quit = "Quit";
    }

    /** What a ranged request's answer made of the kept part (logged after the monitor's tag). */
    namespace Resume
    {
        constexpr auto resumedFromByte = "Download resumed from byte ";
        constexpr auto fromZero = "Download started again from zero: ";
        constexpr auto otherAddress = "the rest came from another address (";
        constexpr auto partFieldTwice = "the part sent gives its ";
        constexpr auto twice = " twice";
        constexpr auto partUnreadable = "the part sent cannot be read: ";
        constexpr auto partEncoded = "the part sent is encoded (";
        constexpr auto partNotContinuing = "the part sent does not continue the file (";
        constexpr auto partShort = "the part sent is not as long as its range (";
        constexpr auto partOtherVersion = "the part sent is of another version of the file";
        constexpr auto partNoVersion = "the part sent names no version of the file";
        constexpr auto cannotSendRest = "the server cannot send the rest (416)";
        constexpr auto fileChanged = "the file changed on the server";
        constexpr auto wholeFileSent = "the server sent the whole file";
        constexpr auto serverAnswered = "the server answered ";
        constexpr auto keptPartGone = "the kept part of the file is gone";
    }

    /** Why an answer is refused (after "Answer refused: "). */
    namespace Refusal
    {
        constexpr auto endUntellable = "the body's end cannot be told from a cut (no Content-Length, not chunked)";
        constexpr auto otherTransferCoding = "the body has a transfer coding other than chunked (";
        constexpr auto lengthNotANumber = "the body's length is not one number (Content-Length: ";
        constexpr auto bodyEncoded = "the body is encoded (";
        constexpr auto lineWithoutColon = "the answer's head has a line without a colon (";
        constexpr auto headRefused = "the HTTP stack refused the answer's head (";
        constexpr auto chunkedEndUnconfirmed = "the chunked body's end could not be confirmed (";
        constexpr auto noStrongValidator = "no strong validator to ask by";
        constexpr auto askedWhatFollows = "asked for what follows it, the server answered ";
        constexpr auto awayFromHttps = "redirected away from https (";
        constexpr auto unusableAddress = "redirected to an unusable address (";
        constexpr auto redirectLoop = "redirected in a loop (";
        constexpr auto moreThan = "more than ";
        constexpr auto redirects = " redirects";
    }

    /** Why a connection's answer was not taken (after "Connection refused: "). */
    namespace Connection
    {
        constexpr auto notMachineTrusted = "the server's certificate has no chain to a root the machine trusts (0x";
    }

    /** Why a signature forbids the start (after "Signature check failed: "). */
    namespace Signature
    {
        constexpr auto noSignature = "no signature";
        constexpr auto changedSinceSigning = "changed since signing";
        constexpr auto untrustedRoot = "untrusted root";
        constexpr auto expired = "expired";
        constexpr auto revoked = "revoked";
        constexpr auto notCodeSigning = "not a code-signing certificate";
        constexpr auto notTrusted = "not trusted (0x";
        constexpr auto noSigner = "no signer";
        constexpr auto signerNotAllowed = "signer not allowed: \"";
        constexpr auto issuedBy = "\" issued by \"";
        constexpr auto notLocked = "not locked";
    }

    /** Why a checked file was not started (after "Start refused: "). */
    namespace Start
    {
        constexpr auto placeUnreadable = "the checked file's place could not be read";
        constexpr auto notTheCheckedFile = "the program the system started is not the checked file";
        constexpr auto noTemporaryFolder = "the tool's temporary folder could not be made in the download folder";
    }

    /** What the window shows: its title, and in red, per language: each language of
        cmake/BuildTable.cmake has its texts here and its Language under its code. */
    namespace Shown
    {
        constexpr auto windowTitle = "Vantrel Install";
        constexpr auto networkFailureEn = "Network anomaly! We're attempting to reconnect...";
        constexpr auto networkFailureCn = "\xe7\xbd\x91\xe7\xbb\x9c\xe5\xbc\x82\xe5\xb8\xb8! \xe6\xad\xa3\xe5\x9c\xa8\xe5\xb0\x9d\xe8\xaf\x95\xe8\xbf\x9e\xe6\x8e\xa5\xe4\xb8\xad...";
        constexpr auto serverErrorEn = "Server error!";
        constexpr auto serverErrorCn = "\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x99\xa8\xe5\xbc\x82\xe5\xb8\xb8!";

        struct Language
        {
            const char* networkFailure;
            const char* serverError;
        };

        constexpr Language cn { networkFailureCn, serverErrorCn };
        constexpr Language en { networkFailureEn, serverErrorEn };
    }

    /** What the Linux build prints, on a line of its own, when it cannot open a window. */
    namespace Printed
    {
        constexpr auto noDisplay = "Vantrel Install: no display to open a window on (is DISPLAY set?)";
    }
}
