#if !defined(_WIN32)
#error "late_bound_call.cpp is part of the Windows regular-expression back end"
#endif

#include "regex/late_bound_call.h"

#include <oleauto.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "base/codepage.h"

namespace pellucor {
namespace {

thread_local HRESULT tStatus = S_OK;

std::wstring Wide(const GbkText& text) {
  const std::u16string u = GbkToUtf16(text.view());
  return std::wstring(u.begin(), u.end());
}

// A BSTR holding the text; an empty text is an empty string, not null (Wine's VBScript
// engine does not accept a null string). The units are copied once, into the BSTR.
BSTR MakeBstr(const GbkText& text) {
  static_assert(sizeof(OLECHAR) == sizeof(char16_t));
  const std::u16string u = GbkToUtf16(text.view());
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(u.data()), static_cast<UINT>(u.size()));
}

struct Binding {
  DISPID id = DISPID_UNKNOWN;
  WORD invokeFlags = 0;
  int declared = 0;  // parameters the member declares
  bool varargs = false;
  bool byName = false;  // bound without type information: the kinds are tried at the call
};

const WORD kGet[] = {INVOKE_PROPERTYGET, INVOKE_FUNC};
const WORD kPut[] = {INVOKE_PROPERTYPUT, INVOKE_PROPERTYPUTREF, INVOKE_FUNC};
const WORD kMethod[] = {INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT, INVOKE_PROPERTYPUTREF};

std::pair<const WORD*, size_t> KindsFor(CallMode mode) {
  switch (mode) {
    case CallMode::PropertyGet:
      return {kGet, std::size(kGet)};
    case CallMode::PropertyPut:
      return {kPut, std::size(kPut)};
    default:
      return {kMethod, std::size(kMethod)};
  }
}

// Some automation objects (Wine's match collections among them) offer no type information;
// their members are bound by name alone.
bool BindByName(IDispatch* object, const std::wstring& member, Binding& out) {
  LPOLESTR name = const_cast<LPOLESTR>(member.c_str());
  if (FAILED(tStatus = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &out.id)))
    return false;
  out.byName = true;
  return true;
}

// Binds `member` for `mode` through the object's type information.
bool Bind(IDispatch* object, const std::wstring& member, CallMode mode, Binding& out) {
  ITypeInfo* info = nullptr;
  if (FAILED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info)) || !info)
    return BindByName(object, member, out);
  ITypeComp* comp = nullptr;
  const HRESULT hr = info->GetTypeComp(&comp);
  info->Release();
  if (FAILED(hr) || !comp) return BindByName(object, member, out);
  const auto [kinds, count] = KindsFor(mode);

  std::wstring name = member;
  const ULONG hash = LHashValOfNameSys(SYS_WIN32, LOCALE_USER_DEFAULT, name.c_str());
  bool bound = false;
  for (size_t i = 0; i < count && !bound; ++i) {
    ITypeInfo* boundInfo = nullptr;
    DESCKIND kind = DESCKIND_NONE;
    BINDPTR ptr{};
    if (FAILED(comp->Bind(name.data(), hash, kinds[i], &boundInfo, &kind, &ptr))) continue;
    if (kind == DESCKIND_FUNCDESC) {
      out.id = ptr.lpfuncdesc->memid;
      out.declared = ptr.lpfuncdesc->cParams;
      out.varargs = ptr.lpfuncdesc->cParamsOpt == -1;
      out.invokeFlags = static_cast<WORD>(ptr.lpfuncdesc->invkind);
      boundInfo->ReleaseFuncDesc(ptr.lpfuncdesc);
      bound = true;
    } else if (kind == DESCKIND_VARDESC) {
      out.id = ptr.lpvardesc->memid;
      out.declared = kinds[i] == INVOKE_PROPERTYGET ? 0 : 1;
      out.invokeFlags = kinds[i] == INVOKE_FUNC ? DISPATCH_PROPERTYGET : kinds[i];
      boundInfo->ReleaseVarDesc(ptr.lpvardesc);
      bound = true;
    } else if (kind == DESCKIND_TYPECOMP && ptr.lptcomp) {
      ptr.lptcomp->Release();
    }
    if (boundInfo) boundInfo->Release();
  }
  comp->Release();
  if (!bound) tStatus = DISP_E_MEMBERNOTFOUND;
  return bound;
}

void ToVariant(const ComArgument& arg, VARIANT& v) {
  VariantInit(&v);
  if (std::holds_alternative<Omitted>(arg)) {
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;  // 0x80020004: the parameter is not given
  } else if (const auto* t = std::get_if<GbkText>(&arg)) {
    v.vt = VT_BSTR;
    v.bstrVal = MakeBstr(*t);
  } else if (const auto* d = std::get_if<double>(&arg)) {
    v.vt = VT_R8;
    v.dblVal = *d;
  } else if (const auto* i = std::get_if<int32_t>(&arg)) {
    v.vt = VT_I4;
    v.lVal = *i;
  } else if (const auto* b = std::get_if<bool>(&arg)) {
    v.vt = VT_BOOL;
    v.boolVal = *b ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (IDispatch* const* o = std::get_if<IDispatch*>(&arg)) {
    v.vt = VT_DISPATCH;
    v.pdispVal = *o;
    if (*o) (*o)->AddRef();
  }
}

bool Call(IDispatch* object, const GbkText& member, CallMode mode,
          std::initializer_list<ComArgument> args, VARIANT* result) {
  tStatus = E_POINTER;
  if (!object) return false;
  Binding b;
  if (!Bind(object, Wide(member), mode, b)) return false;
  if (!b.byName && static_cast<int>(args.size()) > b.declared && !b.varargs) {
    tStatus = DISP_E_BADPARAMCOUNT;
    return false;
  }
  // Automation takes the arguments last first.
  std::vector<VARIANT> values(args.size());
  size_t i = args.size();
  for (const ComArgument& a : args) ToVariant(a, values[--i]);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(values.size()), 0};
  auto invoke = [&](WORD flags) {
    const bool asPut = flags == DISPATCH_PROPERTYPUT || flags == DISPATCH_PROPERTYPUTREF;
    params.rgdispidNamedArgs = asPut ? &named : nullptr;
    params.cNamedArgs = asPut ? 1 : 0;
    EXCEPINFO exception{};
    UINT argError = 0;
    const HRESULT hr = object->Invoke(b.id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                      asPut ? nullptr : result, &exception, &argError);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return hr;
  };
  if (b.byName) {
    // Without type information, the kinds are tried in order until the object accepts one.
    const auto [kinds, count] = KindsFor(mode);
    for (size_t k = 0; k < count; ++k) {
      tStatus = invoke(kinds[k]);
      if (tStatus != DISP_E_MEMBERNOTFOUND) break;
    }
  } else {
    tStatus = invoke(b.invokeFlags);
  }
  for (VARIANT& v : values) VariantClear(&v);
  return SUCCEEDED(tStatus);
}

}  // namespace

bool VariantToText(const VARIANT& v, GbkText& text) {
  if (v.vt == VT_EMPTY || v.vt == VT_NULL) {
    text = GbkText();
    return true;
  }
  auto convert = [&text](BSTR b) {
    text = GbkText(
        Utf16ToGbk(std::u16string_view(reinterpret_cast<const char16_t*>(b), SysStringLen(b))));
  };
  if (v.vt == VT_BSTR) {  // a string (a match's or group's text): converted where it stands
    convert(v.bstrVal);
    return true;
  }
  VARIANT s;
  VariantInit(&s);
  if (FAILED(VariantChangeType(&s, const_cast<VARIANT*>(&v), 0, VT_BSTR))) return false;
  convert(s.bstrVal);
  VariantClear(&s);
  return true;
}

bool LateBoundVariant(IDispatch* object, const GbkText& member, CallMode mode,
                      std::initializer_list<ComArgument> args, Variant& result) {
  result.Clear();
  return Call(object, member, mode, args, result.get());
}

GbkText LateBoundText(IDispatch* object, const GbkText& member, CallMode mode,
                      std::initializer_list<ComArgument> args) {
  Variant r;
  GbkText text;
  if (!LateBoundVariant(object, member, mode, args, r)) return {};
  if (!VariantToText(*r.get(), text)) {
    tStatus = DISP_E_TYPEMISMATCH;
    return {};
  }
  return text;
}

double LateBoundNumber(IDispatch* object, const GbkText& member, CallMode mode,
                       std::initializer_list<ComArgument> args) {
  Variant r;
  if (!LateBoundVariant(object, member, mode, args, r)) return 0;
  VARIANT d;
  VariantInit(&d);
  if (FAILED(tStatus = VariantChangeType(&d, r.get(), 0, VT_R8))) return 0;
  return d.dblVal;
}

ComObject LateBoundObject(IDispatch* object, const GbkText& member, CallMode mode,
                          std::initializer_list<ComArgument> args) {
  Variant r;
  if (!LateBoundVariant(object, member, mode, args, r)) return {};
  const VARIANT* v = r.get();
  IDispatch* d = nullptr;
  if (v->vt == VT_DISPATCH)
    d = v->pdispVal;
  else if (v->vt == (VT_DISPATCH | VT_BYREF) && v->ppdispVal)
    d = *v->ppdispVal;
  if (!d) {
    tStatus = DISP_E_TYPEMISMATCH;
    return {};
  }
  d->AddRef();
  return ComObject(d);
}

bool LateBoundPut(IDispatch* object, const GbkText& member, const ComArgument& value) {
  return Call(object, member, CallMode::PropertyPut, {value}, nullptr);
}

HRESULT LateBoundStatus() {
  return tStatus;
}

bool CreateComObject(const GbkText& className, ComObject& target) {
  const std::wstring name = Wide(className);
  CLSID clsid;
  HRESULT hr = name.rfind(L"{", 0) == 0 ? CLSIDFromString(name.c_str(), &clsid)
                                        : CLSIDFromProgID(name.c_str(), &clsid);
  if (FAILED(hr)) return false;
  IDispatch* object = nullptr;
  hr = CoCreateInstance(clsid, nullptr,
                        CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                        IID_IDispatch, reinterpret_cast<void**>(&object));
  if (hr == E_INVALIDARG) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(&object));
  }
  if (FAILED(hr) || !object) return false;
  if (FAILED(OleRun(object))) {
    object->Release();
    return false;
  }
  target = ComObject(object);
  return true;
}

}  // namespace pellucor
