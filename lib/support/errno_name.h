#pragma once
// The symbolic name of an errno value, as strerrorname_np gives it from glibc 2.32 on;
// the prebuilt addons are built against glibc 2.31, which lacks it.

// "EIO" for EIO; nullptr for 0 and for a value Linux does not define. Of two names
// for one value, the one glibc gives: EAGAIN, EDEADLK, EOPNOTSUPP.
const char* errno_name(int code);
