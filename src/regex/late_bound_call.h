// Calls to COM automation objects by member name, through the objects' type information.
// Windows only. Text crosses as UTF-16 converted from and to GBK (code page 936) explicitly,
// whatever the system's ANSI code page is.
#pragma once

#if !defined(_WIN32)
#error "late_bound_call.h is part of the Windows regular-expression back end"
#endif

#include <initializer_list>
#include <variant>

#include "base/text.h"
#include "base/utility_win32.h"

namespace pellucor {

// One reference to an automation object.
using ComObject = ComPtr<IDispatch>;

// An argument not given: passed as the "parameter not found" error value.
struct Omitted {};
using ComArgument = std::variant<Omitted, GbkText, double, int32_t, bool, IDispatch*>;

enum class CallMode { PropertyGet, PropertyPut, Method };

// The member is bound through the object's type information, trying the kinds of member in
// this order: get: property-get, function; put: property-put, property-put-by-reference,
// function; method: function, property-get, property-put, property-put-by-reference.
// On failure the result is empty and the thread's failure status is set.
GbkText LateBoundText(IDispatch* object, const GbkText& member, CallMode mode,
                      std::initializer_list<ComArgument> args = {});
double LateBoundNumber(IDispatch* object, const GbkText& member, CallMode mode,
                       std::initializer_list<ComArgument> args = {});
ComObject LateBoundObject(IDispatch* object, const GbkText& member, CallMode mode,
                          std::initializer_list<ComArgument> args = {});
// The raw result (a copy); false on failure.
bool LateBoundVariant(IDispatch* object, const GbkText& member, CallMode mode,
                      std::initializer_list<ComArgument> args, Variant& result);
// A property put: true exactly when it succeeded.
bool LateBoundPut(IDispatch* object, const GbkText& member, const ComArgument& value);

// The failure status of the calling thread's last call (S_OK after a success).
HRESULT LateBoundStatus();

// Creates an instance from a registered name ("VBScript.RegExp") or a braced class id, and
// makes sure it runs. On failure `target` is left unchanged and the result is false.
bool CreateComObject(const GbkText& className, ComObject& target);

// A VARIANT converted to GBK text (empty for an empty value or one that does not convert).
bool VariantToText(const VARIANT& v, GbkText& text);

}  // namespace pellucor
