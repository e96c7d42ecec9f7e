// asrdemo: streams every audio file named in ./list.txt through one
// recognition instance in 3,200-byte chunks, 200 ms apart (live 8 kHz audio),
// and prints what the SDK reports. Results arrive on the SDK's threads while
// the next files are sent; a character on standard input (or its end) ends the
// program.
//
// Voice detection is off, as for a stream that the caller ends itself. For
// trying out end-of-speech handling, VELA_ASRDEMO_VAD=1 in the environment
// switches it on.
#include <stdio.h>
#include <sys/select.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <string>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"

namespace {

const long kAudioBufferBytes = 1073741824L;  // 1 GiB, reused for every file
const int kChunkBytes = 3200;                // 1,600 samples: 200 ms at 8 kHz
const int kChunkPauseMs = 200;
const int kFilePauseMs = 100;
const char kListFile[] = "list.txt";

// Writes one message at once, so that lines from the SDK's threads and from
// the main thread do not mix inside a line.
void emit(const std::ostringstream& text) { std::cout << text.str() << std::flush; }

// Voice-detection switch of every instance: off unless VELA_ASRDEMO_VAD is 1.
int vadSwitch() {
    const char* v = std::getenv("VELA_ASRDEMO_VAD");
    return (v != nullptr && std::strcmp(v, "1") == 0) ? 1 : 0;
}

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct LineFree {
    void operator()(char* p) const { free(p); }
};

}  // namespace

void m_sleep(int ms) {
    timeval tv;
    tv.tv_sec = 0;
    tv.tv_usec = ms * 1000;
    select(0, nullptr, nullptr, nullptr, &tv);
}

void asr_output_callback(vela::ASRResultM& result, void* arg) {
    std::string json;
    result.get_asr_content(json);
    const char* path = static_cast<const char*>(arg);
    std::ostringstream out;
    switch (result.get_status()) {
        case vela::VELA_ASR_MIDDLE:
            out << "中间结果asr:" << json << "," << path << std::endl;
            break;
        case vela::VELA_ASR_FINISH:
            out << "最后结果asr:" << json << "," << path << std::endl;
            out << "Final asr\t" << result.get_tc() << "\t" << path << "\t" << json << std::endl;
            break;
        case vela::VELA_ASR_ERR:
            out << "未识别asr:" << json << "," << path << std::endl;
            break;
        default:
            return;
    }
    emit(out);
}

int read_mch_wav(const char* path, int* len, char** data) {
    {
        std::ostringstream out;
        out << "read_mch_wav mic_file: " << path << "  mic_len：" << static_cast<void*>(len) << "  mData："
            << static_cast<void*>(data) << std::endl;
        emit(out);
    }
    FilePtr file(fopen(path, "rb"));
    if (!file) {
        std::ostringstream out;
        out << "Failed to open mch wav file[" << path << "].\n";
        emit(out);
        return -1;
    }
    long size = -1;
    if (fseek(file.get(), 0, SEEK_END) == 0) size = ftell(file.get());
    if (size < 0 || size > kAudioBufferBytes) {
        // A size that cannot be taken (a directory, a pipe) cannot be loaded either.
        std::ostringstream out;
        out << (size < 0 ? "Failed to open mch wav file[" + std::string(path) + "].\n"
                         : "mch_data overflows.\n");
        emit(out);
        return -1;
    }
    rewind(file.get());
    // Only bytes actually read count: a file that shrank meanwhile must not
    // send what an earlier file left in the buffer.
    *len = static_cast<int>(fread(*data, 1, static_cast<size_t>(size), file.get()));
    return 0;
}

int test(const char* path, char* data, int len) {
    if (len < 1 || data == nullptr) return 0;

    std::string err;
    vela::VelaASRLinuxSDK* inst = vela::VelaASRLinuxSDK::getInstance(8, vadSwitch(), 0, err);
    if (inst == nullptr) {
        std::ostringstream out;
        out << "sdk inst " << path << " error:" << err << std::endl;
        emit(out);
        return -1;
    }
    {
        std::ostringstream out;
        out << "sid:" << inst->_sid << ",seq:" << path << std::endl;
        emit(out);
    }
    const int n = len / kChunkBytes;
    const int rest = len % kChunkBytes;
    inst->set_event_listener(asr_output_callback, const_cast<char*>(path));
    {
        std::ostringstream out;
        out << "round:" << (n + (rest != 0 ? 1 : 0)) << std::endl;
        emit(out);
    }

    for (int i = 0; i < n; ++i) {
        if (i > 0) m_sleep(kChunkPauseMs);
        vela::VelaASRMessage msg;
        msg.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
        msg.set_parameter(vela::VELA_DATA_CHUNK, data + i * kChunkBytes, kChunkBytes);
        const int ret = inst->post(msg, err);
        if (ret == 100) {
            std::ostringstream out;
            out << "detect speech end,continue" << inst->_sid << std::endl;
            emit(out);
            // The rest of the audio runs as a new session; this one gets no stop.
            test(path, data + (i + 1) * kChunkBytes, len - (i + 1) * kChunkBytes);
            return 0;
        }
        if (ret != 0) {
            std::ostringstream out;
            out << " post chunk failed 0 --" << err << inst->_sid << std::endl;
            emit(out);
            return -1;
        }
    }

    if (rest != 0) {
        m_sleep(kChunkPauseMs);
        vela::VelaASRMessage msg;
        msg.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
        msg.set_parameter(vela::VELA_DATA_CHUNK, data + n * kChunkBytes, rest);
        const int ret = inst->post(msg, err);
        if (ret == 100) {
            std::ostringstream out;
            out << "detect speech end" << inst->_sid << std::endl;
            emit(out);
        } else if (ret != 0) {
            std::ostringstream out;
            out << " post chunk failed 2" << err << inst->_sid << std::endl;
            emit(out);
            return -1;
        }
    }

    vela::VelaASRMessage stop;
    stop.name = vela::VELA_ASR_CMD_STOP;
    stop.set_parameter(vela::VELA_DATA_CHUNK, nullptr, 0);
    if (inst->post(stop, err) != 0) {
        std::ostringstream out;
        out << " post chunk failed" << err << inst->_sid << std::endl;
        emit(out);
        return -1;
    }
    return 0;
}

int main() {
    vela::VelaASRLinuxSDK::init_env("./", "log.txt", 1);
    {
        std::ostringstream out;
        out << "ver:" << vela::VelaASRLinuxSDK::get_sdk_version() << std::endl;
        emit(out);
    }

    // Not touched until a file is read into it, so only what is read is committed.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kAudioBufferBytes]);
    if (!buffer) {
        std::cout << "mem error" << std::endl;
        return -1;
    }

    FilePtr list(fopen(kListFile, "r"));
    if (!list) {
        const int e = errno;
        std::cout << "cannot open " << kListFile << " in the working directory: " << std::strerror(e)
                  << std::endl;
        return 1;
    }

    char* raw_line = nullptr;
    size_t capacity = 0;
    ssize_t got;
    while ((got = getline(&raw_line, &capacity, list.get())) != -1) {
        {
            std::ostringstream out;
            out << "line:" << raw_line << std::endl;
            emit(out);
        }
        if (got > 0 && raw_line[got - 1] == '\n') raw_line[got - 1] = '\0';
        int len = 0;
        char* data = buffer.get();
        if (read_mch_wav(raw_line, &len, &data) != 0) continue;
        test(raw_line, data, len);
        m_sleep(kFilePauseMs);
    }
    std::unique_ptr<char, LineFree> release_line(raw_line);
    list.reset();

    // Results of the last files keep arriving meanwhile. A closed standard
    // input ends the wait at once.
    std::getchar();
    vela::VelaASRLinuxSDK::clean_resource(false);
    return 0;
}
