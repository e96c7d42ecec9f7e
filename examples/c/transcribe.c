/* transcribe: streams a raw 16-bit little-endian mono PCM file through one
 * recognition session and prints the intermediate and the final text; with
 * --words also one line per word of the final text, "word: START-END CONF
 * WORD" (ms from the start of the audio, confidence 0 to 1).
 *
 *     transcribe [--words] FILE.pcm [RATE_KHZ [SERVER_URL]]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vela/asr.h>

static void on_result(const vela_asr_result* r, void* user) {
    (void)user;
    if (r->kind == VELA_ASR_RESULT_PARTIAL) printf("partial: %s\n", r->text);
}

int main(int argc, char** argv) {
    const int words = argc > 1 && strcmp(argv[1], "--words") == 0;
    argv += words;
    argc -= words;
    if (argc < 2) {
        fprintf(stderr, "usage: transcribe [--words] FILE.pcm [RATE_KHZ [SERVER_URL]]\n");
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (in == NULL) {
        perror(argv[1]);
        return 2;
    }
    vela_asr_options options = {0};
    options.log_dir = "transcribe-logs";
    options.server_url = argc > 3 ? argv[3] : NULL;
    vela_asr_session_options session_options = {argc > 2 ? atoi(argv[2]) : 16, 0, 0};

    vela_asr_session* session = NULL;
    int rc = vela_asr_init(&options);
    if (rc == VELA_ASR_OK) rc = vela_asr_open(&session_options, on_result, NULL, &session);
    int16_t samples[4096];
    size_t n;
    while (rc == VELA_ASR_OK && (n = fread(samples, sizeof samples[0], 4096, in)) > 0)
        rc = vela_asr_push(session, samples, n); /* little-endian host assumed */
    fclose(in);
    vela_asr_result* final_result = NULL;
    if (rc == VELA_ASR_OK) rc = vela_asr_finish(session);
    if (rc == VELA_ASR_OK) rc = vela_asr_wait(session, 60000, &final_result);
    if (rc == VELA_ASR_OK) {
        printf("final: %s\n", final_result->text);
        if (words && final_result->word_count == 0) printf("word: none, the server sent no word timings\n");
        for (size_t i = 0; words && i < final_result->word_count; ++i) {
            const vela_asr_word* w = &final_result->words[i];
            printf("word: %d-%d %.2f %s\n", w->start_ms, w->end_ms, w->conf, w->word);
        }
    } else {
        fprintf(stderr, "transcribe: %s: %s\n", vela_asr_strerror(rc), vela_asr_last_error(NULL));
    }
    vela_asr_result_free(final_result);
    vela_asr_close(session);
    vela_asr_shutdown(); /* returning from main is safe from here on */
    return rc == VELA_ASR_OK ? 0 : 1;
}
