// PROVISIONAL: interface placeholder so that other units link; the file writer
// is not implemented yet and every message is dropped.
#include "speech-util/glog2speech/glog2speech.h"

#include <cstdarg>

namespace speech {
void glog2speech_writelog(int, const char*, int, const char*, ...) {}
}  // namespace speech

int glog2speech_init(int, const char* argv0, const char* dir, const char* file, int) {
    return (argv0 && dir && file) ? 0 : -1;
}
