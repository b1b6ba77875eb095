#include "dlcontrol/win/connection_point.h"

#include "dlcontrol/win/win_text.h"

namespace lumvex {

void EventRaiser::DLProgress(float percent, int32_t bytesRead, int32_t totalBytes) {
  std::vector<VARIANT> a(3);
  for (VARIANT& v : a) VariantInit(&v);
  V_VT(&a[0]) = VT_R4, V_R4(&a[0]) = percent;
  V_VT(&a[1]) = VT_I4, V_I4(&a[1]) = bytesRead;
  V_VT(&a[2]) = VT_I4, V_I4(&a[2]) = totalBytes;
  fire(6, std::move(a));
}

void EventRaiser::DLError(dl::bkDLError code, std::string text) {
  std::vector<VARIANT> a(2);
  for (VARIANT& v : a) VariantInit(&v);
  V_VT(&a[0]) = VT_I4, V_I4(&a[0]) = static_cast<LONG>(code);
  V_VT(&a[1]) = VT_BSTR, V_BSTR(&a[1]) = Bstr(text).detach();
  fire(8, std::move(a));
}

VARIANT EventRaiser::longArg(int32_t value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}

VARIANT EventRaiser::stringArg(const std::string& value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = Bstr(value).detach();
  return v;
}

void EventRaiser::mouse(DISPID id, int16_t button, int16_t shift, float x, float y) {
  std::vector<VARIANT> a(4);
  for (VARIANT& v : a) VariantInit(&v);
  V_VT(&a[0]) = VT_I2, V_I2(&a[0]) = button;
  V_VT(&a[1]) = VT_I2, V_I2(&a[1]) = shift;
  V_VT(&a[2]) = VT_R4, V_R4(&a[2]) = x;
  V_VT(&a[3]) = VT_R4, V_R4(&a[3]) = y;
  fire(id, std::move(a));
}

// Arguments in declaration order; IDispatch wants them last first. Each
// sink gets its own copy, so a handler that changes one changes nothing for
// the next.
void EventRaiser::fire(DISPID id, std::vector<VARIANT> args) {
  for (const ComPtr<IDispatch>& sink : point_.snapshot<IDispatch>(IID_IDispatch)) {
    std::vector<VARIANT> copy(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
      VariantInit(&copy[args.size() - 1 - i]);
      VariantCopy(&copy[args.size() - 1 - i], &args[i]);
    }
    DISPPARAMS params = {copy.empty() ? nullptr : copy.data(), nullptr,
                         static_cast<UINT>(copy.size()), 0};
    sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                 nullptr);
    for (VARIANT& v : copy) VariantClear(&v);
  }
  for (VARIANT& v : args) VariantClear(&v);
}

}  // namespace lumvex
