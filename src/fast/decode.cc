// the msgpack decoder (to be written).
#include "fast/fast.h"

namespace tarn::fast {

int add_decoder(PyObject*) { return 0; }

}  // namespace tarn::fast
