// PySliceContainer: the Python object that owns the memory of a result array.
#pragma once

#include "interface/py_ref.hpp"
#include "numeric/buffer.hpp"

namespace kestrum {

// A new container that owns `buffer`. If it cannot be made, the buffer is
// released and the call ends with "Failed to create slice container".
PyRef make_slice_container(Buffer&& buffer);

}  // namespace kestrum
