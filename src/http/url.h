// URL splitting and the two small extraction routines WebRequest shares with it.
//
// These are text operations, not a URL parser: only "https://" and "http://" are recognised,
// the host is the text between the scheme and the next "/", and only ASCII letters are
// lower-cased. Their behaviour on odd input is deliberate:
//   "http://A.com:8080/X?y"  -> host "a.com", port 8080, path "/X?y" (the path keeps its case)
//   "a.com/x"                -> read as "http://a.com/x": host "a.com", port 80, path "/x"
//   "https://a.com"          -> host "a.com", port 443, path "/"
//   "http://a.com?x=1"       -> host "a.com?x=1" (no "/" ends it), path "/"
//   "ftp://a/?u=http://b/c"  -> host "b" (the first "http://" anywhere counts)
//   "http://a.com:/"         -> port 0 (":" with no digits)
//   ""                       -> host "", port 80, path "/"
#pragma once

#include <optional>

#include "base/text.h"

namespace pellucor {

// The text between the first `left` at or after `start` and the first `right` after it, or
// empty text when either is missing. "#引号" in a marker stands for a double quote. ASCII
// letter case is ignored unless caseSensitive is true.
//   TextBetween("<a href=\"x\">", "href=#引号", "#引号") -> "x"
//   TextBetween("abc", "a", "")                            -> ""  (an empty marker is at 1)
GbkText TextBetween(const GbkText& text, const GbkText& left, const GbkText& right,
                    std::optional<int32_t> start = {}, bool caseSensitive = false);

// Everything after the first ":" of a header line, blanks trimmed; empty without a ":".
//   HeaderValue("Location:   /a:b  ") -> "/a:b"
GbkText HeaderValue(const GbkText& line);

// The host, lower case. mainDomainOnly keeps the last two dot-separated labels
// ("x.a.com" -> "a.com"); keepPort keeps ":port" when the URL has one.
GbkText UrlHost(const GbkText& url, bool mainDomainOnly = false, bool keepPort = false);

// The number after the host's last ":", else 443 for a URL starting "https", else 80.
int32_t UrlPort(const GbkText& url);

// From the first "/" at or after the host to the end of the URL (query included), or "/".
GbkText UrlPath(const GbkText& url);

// A path as it goes on the wire, the same on every transport. WinInet's own rules come first:
// tabs are dropped, control bytes and spaces at either end are cut, "\" becomes "/" and a space
// inside becomes "%20". What WinInet would send raw and libcurl refuses or rewrites is
// percent-encoded (upper-case hex): control bytes inside (a raw CR LF would end the request
// line early), DEL, and the bytes of double-byte characters (whose trail byte can be "\");
// the fragment, which is no part of a request, is dropped.
//   "/ad.gif\r"          -> "/ad.gif"
//   "/a b\x01?q=\xD6\xD0#x" -> "/a%20b%01?q=%D6%D0"
GbkText RequestTarget(const GbkText& path);

}  // namespace pellucor
