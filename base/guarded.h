#pragma once

#include <exception>
#include <new>

#include "base/result.h"
#include "base/text.h"

// Runs a step at a thread's top and turns what it throws into a Result:
// CException keeps its own Result, the HRESULT exception gets atlCode, and a
// standard exception gets stdCode with its text. Standard strings report
// exhausted memory as std::bad_alloc where the template library's would throw
// its HRESULT exception, so that case goes with atlCode and E_OUTOFMEMORY.
// Anything else is left to the crash reporter.
template <typename Step>
Result RunGuarded(Step step, int atlCode, int stdCode) {
  try {
    return step();
  } catch (const CException& e) {
    return ResultFromException(e);
  } catch (const CAtlException& e) {
    return Result(e.m_hr, L"Exception", atlCode);
  } catch (const std::bad_alloc&) {
    return Result(E_OUTOFMEMORY, L"Exception", atlCode);
  } catch (const std::exception& e) {
    return Result(E_FAIL, L"Exception: " + AnsiToWide(e.what()), stdCode);
  }
}
