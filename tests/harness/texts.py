"""The texts the program writes to its runtime log, shows or prints, as the tests and the bench
look for them: each is the constant of constants/Texts.h of the same name (bannerStars as
BANNER_STARS), and every constant there is here, which tests/scripts/test_texts.py checks, so that
the two cannot drift apart. A line that carries a value is its text followed by the value."""

# The runtime log's lines, in the order a run writes them; the monitor's after MONITOR_TAG.
BANNER_STARS = '**********************************************************'
APPLICATION_STARTED = 'Application started at '
LOG_STARTED = 'Log started: '
OS_IS_NOW = 'OS is now: '
DOWNLOAD_URL = 'Download URL: '
DOWNLOAD_TO = 'Download to: '
CONNECTING = 'Connecting...'
RECONNECTING = 'Reconnecting...'
DOWNLOADING = 'Downloading...'
MONITOR_TAG = '<timerCallback> '
DOWNLOAD_COMPLETED = 'Download completed, status code: '
FILE_SIZE = '; file size: '
ANSWER_REFUSED = 'Answer refused: '
SIGNATURE_CHECK_FAILED = 'Signature check failed: '
ERROR_SHOWN = 'Error, show label and delete file'
DOWNLOAD_CUT_OFF = 'Download cut off at byte '
DOWNLOAD_STALLED = 'Download stalled at byte '
FROM_ZERO_NOTHING_SAFE = 'Download will start again from zero: nothing safe to resume by (no length or validator)'
FROM_ZERO_NOTHING_RECEIVED = 'Download will start again from zero: nothing was received'
FROM_ZERO_REST_REFUSED = 'Download will start again from zero: the server refused the rest twice ('
FROM_ZERO_SIGNED_BYTES_CHANGED = "Download will start again from zero: the file's signature does not match its bytes"
WHOLE_BY_SIGNATURE = 'Whole by its signature: '
TOOL_DOWNLOAD_SUCCESSFUL = 'tool download successful'
START_REFUSED = 'Start refused: '
CONNECTION_REFUSED = 'Connection refused: '
CANNOT_OPEN_TOOL = 'Can not open tool!'
TEMPORARY_FILE_DELETED = 'Temporary file deleted'
TEMPORARY_FILE_NOT_DELETED = 'Temporary file could not be deleted'
QUIT = 'Quit'

# What a ranged request's answer made of the kept part.
RESUMED_FROM_BYTE = 'Download resumed from byte '
FROM_ZERO = 'Download started again from zero: '
OTHER_ADDRESS = 'the rest came from another address ('
PART_FIELD_TWICE = 'the part sent gives its '
TWICE = ' twice'
PART_UNREADABLE = 'the part sent cannot be read: '
PART_ENCODED = 'the part sent is encoded ('
PART_NOT_CONTINUING = 'the part sent does not continue the file ('
PART_SHORT = 'the part sent is not as long as its range ('
PART_OTHER_VERSION = 'the part sent is of another version of the file'
PART_NO_VERSION = 'the part sent names no version of the file'
CANNOT_SEND_REST = 'the server cannot send the rest (416)'
FILE_CHANGED = 'the file changed on the server'
WHOLE_FILE_SENT = 'the server sent the whole file'
SERVER_ANSWERED = 'the server answered '
KEPT_PART_GONE = 'the kept part of the file is gone'

# Why an answer is refused (after ANSWER_REFUSED).
END_UNTELLABLE = "the body's end cannot be told from a cut (no Content-Length, not chunked)"
OTHER_TRANSFER_CODING = 'the body has a transfer coding other than chunked ('
LENGTH_NOT_A_NUMBER = "the body's length is not one number (Content-Length: "
BODY_ENCODED = 'the body is encoded ('
LINE_WITHOUT_COLON = "the answer's head has a line without a colon ("
HEAD_REFUSED = "the HTTP stack refused the answer's head ("
CHUNKED_END_UNCONFIRMED = "the chunked body's end could not be confirmed ("
NO_STRONG_VALIDATOR = 'no strong validator to ask by'
ASKED_WHAT_FOLLOWS = 'asked for what follows it, the server answered '
AWAY_FROM_HTTPS = 'redirected away from https ('
UNUSABLE_ADDRESS = 'redirected to an unusable address ('
REDIRECT_LOOP = 'redirected in a loop ('
MORE_THAN = 'more than '
REDIRECTS = ' redirects'

# Why a signature forbids the start (after SIGNATURE_CHECK_FAILED).
NO_SIGNATURE = 'no signature'
CHANGED_SINCE_SIGNING = 'changed since signing'
UNTRUSTED_ROOT = 'untrusted root'
# Why a connection's answer was not taken (after CONNECTION_REFUSED).
NOT_MACHINE_TRUSTED = "the server's certificate has no chain to a root the machine trusts (0x"
EXPIRED = 'expired'
REVOKED = 'revoked'
NOT_CODE_SIGNING = 'not a code-signing certificate'
NOT_TRUSTED = 'not trusted (0x'
NO_SIGNER = 'no signer'
SIGNER_NOT_ALLOWED = 'signer not allowed: "'
ISSUED_BY = '" issued by "'
NOT_LOCKED = 'not locked'

# Why a checked file was not started (after START_REFUSED).
PLACE_UNREADABLE = "the checked file's place could not be read"
NOT_THE_CHECKED_FILE = 'the program the system started is not the checked file'
NO_TEMPORARY_FOLDER = "the tool's temporary folder could not be made in the download folder"

# What the window shows: its title, and in red.
WINDOW_TITLE = 'Vantrel Install'
NETWORK_FAILURE_EN = "Network anomaly! We're attempting to reconnect..."
NETWORK_FAILURE_CN = '网络异常! 正在尝试连接中...'
SERVER_ERROR_EN = 'Server error!'
SERVER_ERROR_CN = '服务器异常!'

# What the Linux build prints when it cannot open a window.
NO_DISPLAY = 'Vantrel Install: no display to open a window on (is DISPLAY set?)'


def monitor(text):
    """A line of the monitor's own: its tag, then the text."""
    return MONITOR_TAG + text
