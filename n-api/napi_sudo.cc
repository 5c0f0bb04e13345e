// The `sudoauth` module: tells JavaScript whether sudo accepts a password.
#include <napi.h>

#include "sudoauth/password_check.h"

namespace {

Napi::Value check_password(const Napi::CallbackInfo& info) {
  Napi::EscapableHandleScope scope(info.Env());
  if (info.Length() != 1 || !info[0].IsString()) {
    throw Napi::TypeError::New(info.Env(), "check_password() takes one parameter");
  }
  const std::string password = info[0].As<Napi::String>().Utf8Value();
  return scope.Escape(Napi::Boolean::New(info.Env(), sudoauth::check_password(password)));
}

Napi::Value check_password_for_user(const Napi::CallbackInfo& info) {
  Napi::EscapableHandleScope scope(info.Env());
  if (info.Length() != 2 || !info[0].IsString() || !info[1].IsString()) {
    throw Napi::TypeError::New(info.Env(), "check_password() takes two parameters");
  }
  const std::string user = info[0].As<Napi::String>().Utf8Value();
  const std::string password = info[1].As<Napi::String>().Utf8Value();
  return scope.Escape(
      Napi::Boolean::New(info.Env(), sudoauth::check_password_for_user(user, password)));
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("checkPassword", Napi::Function::New<check_password>(env));
  exports.Set("checkPasswordForUser", Napi::Function::New<check_password_for_user>(env));
  return exports;
}

}  // namespace

NODE_API_MODULE(sudoauth, Init)
