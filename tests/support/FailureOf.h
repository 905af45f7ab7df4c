#pragma once
// The text of the failure an action raised, or "(no failure)": tests compare failures as
// the user would read them.
#include <exception>
#include <functional>
#include <string>

#include "Exceptions.h"

inline std::string FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no failure)";
}
