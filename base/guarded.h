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
//
// The Result for the HRESULT exception, out of memory included, is built
// before the step runs: when the heap has run out, a handler that built its
// message then would throw again, and nothing would catch that. Moving it
// out allocates nothing.
template <typename Step>
Result RunGuarded(Step step, int atlCode, int stdCode) {
  Result fromAtlException(E_OUTOFMEMORY, L"Exception", atlCode);
  try {
    return step();
  } catch (const CException& e) {
    return ResultFromException(e);
  } catch (const CAtlException& e) {
    fromAtlException.hr = e.m_hr;
    return fromAtlException;
  } catch (const std::bad_alloc&) {
    return fromAtlException;
  } catch (const std::exception& e) {
    return Result(E_FAIL, L"Exception: " + AnsiToWide(e.what()), stdCode);
  }
}
