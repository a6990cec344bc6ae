// The edge of the C interface. Every exported library function is a
// function-try-block closed by its library's catch, so no C++ exception
// ever reaches a C caller (for whom it would end the process):
//
//   extern "C" KY_API uint32_t kycmSomething(int a) try {
//     KY_GATE("kycmSomething", {}, a);
//     ...
//   } KYCM_CATCH
//
// Exhausted host memory becomes the library's out-of-memory code, anything
// else its code for an unexpected failure. tests/python/test_c_boundary.py
// checks, library by library, that every exported function is written so.
#pragma once

#include <cxxabi.h>

#include <new>

#include "kycore/error_codes.h"
#include "kycore/test_control.h"

// Thread cancellation unwinds with a forced-unwind exception that must go
// on: swallowing it aborts the process.
#define KY_CATCH_AS(ret, out_of_memory, failure) \
  catch (abi::__forced_unwind&) {                \
    throw;                                       \
  }                                              \
  catch (const std::bad_alloc&) {                \
    return ret(out_of_memory);                   \
  }                                              \
  catch (...) {                                  \
    return ret(failure);                         \
  }

#define KY_CATCH(out_of_memory, failure) KY_CATCH_AS(KY_CODE_AS_UINT, out_of_memory, failure)

// One closing per library, with its own codes.
#define KYCM_CATCH KY_CATCH(::kycore::KYCM_OUT_OF_HOST_MEMORY, ::kycore::KYCM_INTERNAL_ERROR)
// The model and stream library shares the common runtime's codes for both.
#define KYCL_CATCH KYCM_CATCH
#define KYME_CATCH KY_CATCH(::kycore::KYME_OUT_OF_MEMORY, ::kycore::KYME_INTERNAL_ERROR)
// The op engine's code for an operation that could not run covers both.
#define KYCE_CATCH KY_CATCH(kyceER_OPERATION_FAILED, kyceER_OPERATION_FAILED)
// The management library has no code for memory or failures of its own; a
// driver interface that could not be reached is the nearest it reports.
#define KYML_CATCH KY_CATCH_AS(static_cast<kymlOpStatus_enum>, KYML_ERROR_FETCH_API, KYML_ERROR_FETCH_API)
