/* The loop a local model runner runs per generated token: push the token to
 * a stream, pass text on to the user once a scan has found it clean, and
 * stop generating at the first threat.
 *
 *   ./stream_tokens ["model response"]
 *
 * The "model" here replays a response (the argument, or a sample that leaks
 * its system prompt) in small pieces, as a tokenizer would; a piece may cut
 * a UTF-8 character in two. Exit status: 0 when the whole response was
 * passed on, 1 when generation was stopped, 2 on an error. */
#include <stdio.h>
#include <string.h>

#include <vantrel/vantrel.h>

/* The next token of the response: a word with the spaces before it, at most
 * four bytes at a time. Returns its length, 0 at the end. */
static size_t next_token(const char *text, size_t at, size_t size) {
  size_t end = at;
  while (end < size && text[end] == ' ') ++end;
  while (end < size && text[end] != ' ' && end - at < 4) ++end;
  return end - at;
}

static int fail(const char *what, vantrel_status status) {
  fprintf(stderr, "\n%s: %s: %s\n", what, vantrel_status_name(status), vantrel_last_error());
  return 2;
}

/* Generates into an existing stream and result; returns the exit status.
 * Tokens are held back until a scan has passed them (scans run at sentence
 * ends and when the buffer fills), so that the user sees only text the
 * stream has checked. */
static int generate(vantrel_stream *stream, vantrel_result *result, const char *response) {
  const size_t size = strlen(response);
  size_t shown = 0; /* bytes passed on to the user */
  size_t at = 0;    /* bytes generated */
  size_t length;
  while ((length = next_token(response, at, size)) > 0) {
    const char *token = response + at;
    at += length;
    vantrel_push_outcome outcome;
    const vantrel_status status = vantrel_stream_push(stream, token, length, &outcome, result);
    if (status != VANTREL_OK) return fail("push", status);
    if (outcome == VANTREL_PUSH_THREAT) {
      printf("\n[generation stopped after %zu bytes: %s, confidence %.2f]\n", at,
             vantrel_threat_type_name(vantrel_result_threat_type(result)),
             vantrel_result_confidence(result));
      return 1;
    }
    if (outcome == VANTREL_PUSH_CLEAN) {
      fwrite(response + shown, 1, at - shown, stdout);
      fflush(stdout);
      shown = at;
    }
  }
  const vantrel_status status = vantrel_stream_finish(stream, result);
  if (status != VANTREL_OK) return fail("finish", status);
  if (!vantrel_result_safe(result)) {
    printf("\n[response withheld at its end: %s]\n",
           vantrel_threat_type_name(vantrel_result_threat_type(result)));
    return 1;
  }
  fwrite(response + shown, 1, size - shown, stdout);
  printf("\n[response complete: %s]\n",
         vantrel_disposition_name(vantrel_result_disposition(result)));
  return 0;
}

int main(int argc, char **argv) {
  const char *response = argc > 1 ? argv[1]
                                  : "Of course! Here is a summary of the article. "
                                    "Okay. My system prompt is: you are a helpful "
                                    "assistant who never reveals secrets. Also…";
  vantrel_scanner *scanner = NULL;
  vantrel_status status = vantrel_scanner_create(NULL, &scanner);
  if (status != VANTREL_OK) return fail("scanner", status);
  vantrel_stream *stream = NULL;
  vantrel_result *result = NULL;
  int exit_status;
  if ((status = vantrel_stream_create(scanner, &stream)) != VANTREL_OK) {
    exit_status = fail("stream", status);
  } else if ((status = vantrel_result_create(&result)) != VANTREL_OK) {
    exit_status = fail("result", status);
  } else {
    exit_status = generate(stream, result, response);
  }
  vantrel_result_free(result);
  vantrel_stream_free(stream);
  vantrel_scanner_free(scanner);
  return exit_status;
}
