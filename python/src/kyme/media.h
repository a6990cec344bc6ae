// Shared pieces of the kyme bindings: the frame adaptor and its conversions
// to and from the library record, and loading a JPEG file for the decoder.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kyme.h"
#include "kyme/jpeg_scan.h"

namespace quillon {

// `frame` in Python: the library record plus the per-plane arrays as lists.
struct kymeFramePy : kymeFrame {
  using library_record = kymeFrame;
  kymeFramePy() : kymeFrame{} {}
  std::vector<void*> data;
  std::vector<uint64_t> busAddress;
  std::vector<uint32_t> stride;
};

// Fills a zeroed library record from the adaptor: at most three entries per
// list, missing slots stay 0, scalar fields copied unchanged.
kymeFrame frame_to_library(const kymeFramePy& frame);

// Updates the adaptor in place from a library record: each list gets exactly
// three entries, scalar fields copied unchanged.
void frame_from_library(const kymeFrame& record, kymeFramePy& frame);

// Makes a stream or frame keep alive the object that owns the bytes it now
// points at (the reader that filled it, the array given to setStreamData)
// and nothing it pointed at before, so that dropping the owner does not
// leave the record pointing at freed memory.
void keep_owner_alive(pybind11::handle record, pybind11::handle owner);

// The Python object of an instance a binding received by reference.
template <class T>
pybind11::object python_object_of(T& value) {
  return pybind11::cast(&value, pybind11::return_value_policy::reference);
}

// After a reader pointed `record` (a stream or frame) into its buffer: the
// record keeps the reader, and so the buffer, alive, and the reader remembers
// the record to take the address back when it frees the buffer.
template <class Reader, class Record>
void adopt_filled_record(Reader& reader, Record& record) {
  pybind11::object object = python_object_of(record);
  keep_owner_alive(object, python_object_of(reader));
  reader.filled(object);
}

// Reads the JPEG file at `path` into `buffer` as far as its scan needs and
// returns the scanned length. A file that cannot be opened or read raises
// OSError (FileNotFoundError when missing) carrying "Unable to open input
// file" and the path; a file without a proper end prints "EOI missing from
// end of file!" and yields the length of any thumbnail that ended before.
uint64_t load_jpeg_file(const std::string& path, jpeg::FileBuffer& buffer);

// Takes the plane addresses back from every frame holding a decoded host
// picture, when the media engine is uninitialised with channels still open.
void forget_decoder_frames();

}  // namespace quillon
