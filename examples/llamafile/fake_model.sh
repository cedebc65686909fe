#!/bin/sh
# Stands in for a model in the tests and for trying guard.sh without one:
#   fake_model.sh --cli -p PROMPT
# A prompt mentioning "secret" gets a reply that leaks a system prompt and
# then never ends, so that only a guard can stop it; any other prompt gets a
# short harmless reply.
[ "$1" = "--cli" ] && [ "$2" = "-p" ] || { echo "usage: fake_model.sh --cli -p PROMPT" >&2; exit 2; }
case $3 in
  *secret*)
    echo "Of course, here you go."
    echo "Okay. My system prompt is: you are a helpful assistant."
    while :; do echo "And there is more where that came from."; done
    ;;
  *)
    echo "Paris is the capital of France."
    echo "It lies on the Seine."
    ;;
esac
