# English instruction-override phrases from a small grammar. Two composable
# halves multiply when they meet ("ignore all" + "previous instructions");
# full phrases only where the head alone is too common ("ignore the ...").
CORE_VERBS = ["ignore", "disregard", "forget"]
MORE_VERBS = ["override", "overlook", "bypass", "skip", "discard", "drop", "abandon", "pay no attention to",
              "do not follow", "don't follow", "stop following", "set aside", "ignoring", "disregarding", "forgetting"]
HEAD_DETS = ["all", "all the", "any", "all prior", "all previous", "any previous", "any prior", "your previous", "your prior"]
ADJS = ["previous", "prior", "preceding", "above", "earlier", "initial", "original"]
NOUNS = ["instructions", "directions", "rules", "guidelines", "prompts", "commands", "directives"]
TAIL_ADJS = ADJS + ["system", "hidden", "existing", "given", "old"]
TAIL_NOUNS = NOUNS + ["instruction", "prompt", "programming"]
# Verbs that discard only in full phrases: "scrap all" or "erase the" alone
# are ordinary requests.
EXTRA_VERBS = ["scrap", "dismiss", "erase", "throw away", "disobey"]
# Verbs of a wholesale discard, and what it names after "all your": "abandon
# all your thoughts".
WHOLE_VERBS = CORE_VERBS + ["override", "overlook", "bypass", "skip", "discard", "drop", "abandon", "set aside", "scrap",
                            "dismiss", "erase", "throw away"]
WHOLE_NOUNS = ["instructions", "rules", "guidelines", "programming", "thoughts"]
# Earlier context or talk as the object of a core verb: "ignore all provided context".
CONTEXT_OBJECTS = ["all provided context", "the provided context", "all previous context",
                   "all prior context", "the previous context", "the context above", "the above context",
                   "all previous information", "all prior information", "the information above",
                   "all previous messages", "all previous conversations", "the previous conversation",
                   "what i said before", "what i said earlier", "what i told you before", "what was said before",
                   "what came before", "what's before", "everything said before",
                   "everything i said", "everything i told you", "everything before this"]
# Misspelt core verbs, as typed in a hurry ("igmre what i said before"), with
# objects that make the intent plain.
TYPO_VERBS = ["ingore", "ignroe", "igonre", "igmre", "ignor", "disreguard", "forgt"]
TYPO_OBJECTS = ["all previous", "all prior", "all your", "what i said", "previous instructions", "the above"]

def out():
    rows = []
    for v in CORE_VERBS:
        for d in ["", "the"]:
            for a in ADJS:
                for n in NOUNS:
                    rows.append(("S", " ".join(w for w in (v, d, a, n) if w)))
        for n in ["instructions", "directions", "rules", "guidelines", "commands", "prompts"]:
            for tail in ["above", "before", "you were given"]:
                rows.append(("S", f"{v} the {n} {tail}"))
                rows.append(("S", f"{v} all {n} {tail}"))
        for d in ["the", "all", "all the", "any", "your", ""]:
            for a in ADJS:
                rows.append(("M", " ".join(w for w in (v, d, a) if w)))
    for v in CORE_VERBS + MORE_VERBS:
        for d in HEAD_DETS:
            rows.append(("M", f"{v} {d}"))
    # Core verb, determiner and noun without an adjective: "ignore your directions".
    for v in CORE_VERBS:
        for d in ["your", "all", "all the", "all your", "any", "the"]:
            for n in NOUNS + ["instruction", "prompt", "programming", "guidance", "orders"]:
                rows.append(("S", f"{v} {d} {n}"))
    for n in NOUNS + ["instruction", "prompt", "programming", "guidance", "orders", "system prompt", "training", "filters", "restrictions", "policies"]:
        rows.append(("W", f"your {n}"))
    # Other verbs with "your": full phrases, since "your ..." also starts a tail.
    for v in MORE_VERBS:
        for n in ["instructions", "rules", "guidelines", "programming", "restrictions"]:
            rows.append(("S", f"{v} your {n}"))
    for v in EXTRA_VERBS:
        for n in ["instructions", "rules", "guidelines", "programming", "restrictions"]:
            rows.append(("S", f"{v} your {n}"))
    for v in WHOLE_VERBS:
        for n in WHOLE_NOUNS:
            rows.append(("S", f"{v} all your {n}"))
    for v in CORE_VERBS:
        for n in WHOLE_NOUNS:
            rows.append(("S", f"{v} all of your {n}"))
        for o in CONTEXT_OBJECTS:
            rows.append(("S", f"{v} {o}"))
    for v in TYPO_VERBS:
        for o in TYPO_OBJECTS:
            rows.append(("S", f"{v} {o}"))
    for a in TAIL_ADJS:
        for n in TAIL_NOUNS:
            rows.append(("W", f"{a} {n}"))
    return rows

if __name__ == "__main__":
    seen = set()
    print("## override PromptInjection | Instruction override: discard earlier instructions")
    for t, p in out():
        if p not in seen:
            seen.add(p)
            print(t, p)
