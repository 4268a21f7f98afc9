// Reader, its iterators and batch lookups (to be written).
#include "fast/fast.h"

namespace tarn::fast {

int add_reader_types(PyObject*) { return 0; }

}  // namespace tarn::fast
