"""libcurl's names for its result codes (7.88), which the failure events carry
as errorCode; the downloader's own codes start at 128."""

NAMES = {
    1: "UNSUPPORTED_PROTOCOL", 2: "FAILED_INIT", 3: "URL_MALFORMAT", 4: "NOT_BUILT_IN",
    5: "COULDNT_RESOLVE_PROXY", 6: "COULDNT_RESOLVE_HOST", 7: "COULDNT_CONNECT", 8: "WEIRD_SERVER_REPLY",
    9: "REMOTE_ACCESS_DENIED", 16: "HTTP2", 18: "PARTIAL_FILE", 22: "HTTP_RETURNED_ERROR", 23: "WRITE_ERROR",
    25: "UPLOAD_FAILED", 26: "READ_ERROR", 27: "OUT_OF_MEMORY", 28: "OPERATION_TIMEDOUT", 33: "RANGE_ERROR",
    34: "HTTP_POST_ERROR", 35: "SSL_CONNECT_ERROR", 36: "BAD_DOWNLOAD_RESUME", 42: "ABORTED_BY_CALLBACK",
    43: "BAD_FUNCTION_ARGUMENT", 45: "INTERFACE_FAILED", 47: "TOO_MANY_REDIRECTS", 48: "UNKNOWN_OPTION",
    52: "GOT_NOTHING", 55: "SEND_ERROR", 56: "RECV_ERROR", 60: "PEER_FAILED_VERIFICATION",
    61: "BAD_CONTENT_ENCODING", 63: "FILESIZE_EXCEEDED", 65: "SEND_FAIL_REWIND", 67: "LOGIN_DENIED",
    78: "REMOTE_FILE_NOT_FOUND", 92: "HTTP2_STREAM", 95: "HTTP3", 97: "PROXY",
}
OWN = {128: "file size missing from the document", 129: "file operation error", 130: "hash missing",
       131: "download URL missing", 132: "document changed while downloading",
       133: "installer does not match the document's SHA-256 (swapped or corrupted)", 134: "user cancel",
       135: "installer not signed by the pinned publisher"}


def name_of(code):
    if code in OWN:
        return f"downloader: {OWN[code]}"
    return f"CURLE_{NAMES[code]}" if code in NAMES else "unknown"
