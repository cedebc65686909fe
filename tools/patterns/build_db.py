#!/usr/bin/env python3
"""Builds the pattern database from the reviewed phrase lists and the evidence
measured on labelled data.

    python3 tools/patterns/build_db.py --data DIR --out PATTERNS.json
        [--evidence-out EVIDENCE.tsv] [--split all|mine|check]
        [--build-dir DIR] [--work DIR] [--verbose]

--data is the directory of labelled *.jsonl files; --build-dir holds the data
tools (tools/vantrel_mine, tools/vantrel_normalize_lines,
tools/vantrel_normalize_jsonl; default build-rel at the top of the checkout);
--work receives the data-derived intermediate files (a temporary directory,
removed afterwards, unless given). Only the chosen --split of the data is
measured. See tools/patterns/README.md for the list format and the rules.
"""
import argparse
import collections
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SRC = os.path.join(HERE, 'src')

# Records kept exactly as the base database has them: the first record and the
# telling rows that the tests and the documentation name.
FIXED_TEXTS = {
    "ignore all previous instructions", "output the verification code", "sql injection vulnerability",
    "access the windows sam database", "simulate tool call", "disregard all prior instructions",
    "disregard all prior",
}
# Records the re-labelling rows of the embedded database must find (they must
# stay PromptInjection as read): kept whatever their evidence.
PROTECTED = {"enter developer mode authorization", "enter developer mode", "can bypass your safety",
             "bypass your safety filters", "bypass your safety", "pretend you have no guidelines",
             "pretend you have no"}

RENAMED_BY_LOADER = "disregard all prior"
OVERRIDE_VERBS = {'ignore', 'disregard', 'forget', 'override', 'bypass'}
# Phrases containing a key take over the reviewed context of the base record
# named by its value: "developer mode" is also a phone and browser setting.
SHARED_CONTEXT_FROM = {'enable developer mode': 'developer mode'}
TIER_DEFAULT = {'S': 400.0, 'M': 5.0, 'W': 2.0}
TIER_CAP = {'S': 2000.0, 'M': 200.0, 'W': 6.0}
# Explicit wording that benign texts also use: at most these ratios for 1 or
# 2 benign documents, and the last one for more. Low enough that a long
# benign prompt, whose byte entropy already counts as weak evidence, is not
# blocked by one such phrase on top.
SEEN_BENIGN_CAP = {1: 4.0, 2: 3.0}
SEEN_BENIGN_CAP_MORE = 2.0
UNSEEN_BENIGN = 1.5
# Shorter phrases turn up in harmless text by chance more easily.
MIN_BYTES = 8
MAX_ROUNDS = 8

SUPPRESS_WORDS = ["what is", "what are", "what does", "explain", "example", "examples", "detect", "prevent",
                  "protect", "defend", "defense", "defence", "research", "mitigate", "classify", "recognize",
                  "identify", "awareness", "how do i stop", "how to stop", "quote", "quoted", "such as"]
BOOST_WORDS = ["ignore", "disregard", "forget", "override", "bypass", "do not follow", "don't follow",
               "stop following", "instead", "new instructions"]
SUPPRESS_WINDOW, BOOST_WINDOW = 60, 40

ATTACK_KINDS = ('injection', 'jailbreak')
BENIGN_KINDS = ('benign_prompt', 'benign_security')


def log(*args):
    print(*args, file=sys.stderr)


def fold(s):
    """ASCII case folding, as the matcher compares."""
    return ''.join(c.lower() if 'A' <= c <= 'Z' else c for c in s)


class Tools:
    """The data tools of a build directory and the data they run on."""

    def __init__(self, build_dir, data_dir, work_dir, split):
        tool_dir = os.path.join(build_dir, 'tools')
        self.mine = os.path.join(tool_dir, 'vantrel_mine')
        self.normalize_lines = os.path.join(tool_dir, 'vantrel_normalize_lines')
        self.normalize_jsonl = os.path.join(tool_dir, 'vantrel_normalize_jsonl')
        for tool in (self.mine, self.normalize_lines, self.normalize_jsonl):
            if not os.access(tool, os.X_OK):
                sys.exit(f'{tool}: not found; build the tools first (see tools/patterns/README.md)')
        self.files = [os.path.join(data_dir, f) for f in sorted(os.listdir(data_dir)) if f.endswith('.jsonl')]
        if not self.files:
            sys.exit(f'{data_dir}: no .jsonl files')
        self.work = work_dir
        self.split = split
        self._docs = None

    def normalize(self, texts):
        """Each phrase in the form the normalizer leaves it; leading and
        trailing white space (a leading line feed of a role token) is kept
        as written."""
        bodies, pre, post = [], [], []
        for t in texts:
            m = re.match(r'^(\s*)(.*?)(\s*)$', t, re.S)
            if '\n' in m.group(2):
                sys.exit(f'line feed inside a phrase: {t!r}')
            pre.append(m.group(1))
            bodies.append(m.group(2))
            post.append(m.group(3))
        res = subprocess.run([self.normalize_lines], input='\n'.join(bodies) + '\n', capture_output=True,
                             text=True, check=True)
        out = res.stdout.split('\n')
        return [p + o + q for p, o, q in zip(pre, out, post)]

    def evidence(self, db_path):
        """Per record of the database: attack and benign documents where it
        fires, attack families and kinds; with the totals A and B."""
        res = subprocess.run([self.mine, '--split', self.split, '--evidence', db_path] + self.files,
                             capture_output=True, text=True, check=True)
        lines = res.stdout.split('\n')
        m = re.match(r'# (\d+) attack documents in (\d+) families .*?, (\d+) benign documents', lines[0])
        A, B = int(m.group(1)), int(m.group(3))
        rows = []
        for line in lines[2:]:
            if not line:
                continue
            f = line.split('\t')
            rows.append(dict(a=int(f[3]), fam=int(f[4]), b=int(f[5]), akinds=f[7], bkinds=f[8]))
        return A, B, rows, res.stdout

    def docs(self):
        """Folded normalized attack and benign input texts of the split."""
        if self._docs is None:
            path = os.path.join(self.work, 'norm.jsonl')
            with open(path, 'w', encoding='utf-8') as out:
                subprocess.run([self.normalize_jsonl] + self.files, stdout=out, check=True)
            attack, benign = [], []
            with open(path, encoding='utf-8') as f:
                for line in f:
                    d = json.loads(line)
                    if self.split != 'all' and d['mine'] != (self.split == 'mine'):
                        continue
                    if d['label'] == 'attack' and d['kind'] in ATTACK_KINDS:
                        attack.append(fold(d['norm']))
                    elif d['label'] == 'benign' and d['kind'] in BENIGN_KINDS:
                        benign.append(fold(d['norm']))
            self._docs = (attack, benign)
        return self._docs


def read_list(name, lines):
    """Records of one reviewed list: `## <category> <ThreatType> | <description>`
    headers, then `S|M|W <phrase>` lines (\\n in a phrase is a line feed)."""
    recs = []
    cat = threat = desc = None
    for line in lines:
        line = line.rstrip('\n')
        if not line.strip():
            continue
        if line.startswith('## '):
            head, desc = line[3:].split(' | ', 1)
            cat, threat = head.split(' ')
            continue
        tier, phrase = line[0], line[2:]
        if tier not in TIER_DEFAULT or line[1] != ' ' or threat is None:
            sys.exit(f'{name}: bad line {line!r}')
        recs.append(dict(text=phrase.replace('\\n', '\n'), threat=threat, desc=desc, tier=tier, cat=cat, src=name))
    return recs


def load_lists():
    """The reviewed lists in file-name order: each `*.txt` as written, each
    `*.py` by what it prints (a grammar generating a list)."""
    recs = []
    for name in sorted(os.listdir(SRC)):
        path = os.path.join(SRC, name)
        if name.endswith('.txt'):
            with open(path, encoding='utf-8') as f:
                recs += read_list(name, f.readlines())
        elif name.endswith('.py'):
            res = subprocess.run([sys.executable, path], capture_output=True, text=True, check=True)
            recs += read_list(name, res.stdout.splitlines())
    return with_capitalized(recs)


def with_capitalized(recs):
    """Lists are written in lower case, and the matcher folds only ASCII
    letters: a phrase that starts with another letter also gets its
    sentence-initial form ("забудьте ..." and "Забудьте ...")."""
    out = []
    for r in recs:
        out.append(r)
        first = r['text'][:1]
        if first and not first.isascii() and first.upper() != first:
            out.append(dict(r, text=first.upper() + r['text'][1:]))
    return out


def order_records(recs):
    """Record 0 stays first; base records keep their order; list records follow
    list by list, each list in descending order; a phrase never precedes a
    longer one it is a prefix of (it would hide it)."""
    first, rest = recs[0], recs[1:]
    rest.sort(key=lambda r: r['group'])
    by_group = collections.OrderedDict()
    for r in rest:
        by_group.setdefault(r['group'], []).append(r)
    ordered = []
    for g, rs in by_group.items():
        if g != 0:
            rs.sort(key=lambda r: fold(r['text']), reverse=True)
        ordered += rs
    changed = True
    while changed:
        changed = False
        folded = [fold(r['text']) for r in ordered]
        last_extension = {}
        for j, t in enumerate(folded):
            for k in range(1, len(t)):
                last_extension[t[:k]] = j
        for i, t in enumerate(folded):
            j = last_extension.get(t)
            if j is not None and j > i:
                ordered.insert(j, ordered.pop(i))
                changed = True
                break
    return [first] + ordered


def write_db(recs, path):
    """One record per line: compact, and a change to a record is a one-line diff."""
    out = []
    for r in recs:
        if r.get('fixed_json') is not None:
            out.append(r['fixed_json'])
            continue
        d = {"text": r['text'], "threat_type": r['threat'], "likelihood_ratio": r['ratio'], "description": r['desc']}
        if r.get('context'):
            d["context"] = r['context']
        out.append(d)
    with open(path, 'w', encoding='utf-8') as f:
        f.write('[\n' + ',\n'.join(json.dumps(p, ensure_ascii=False, separators=(',', ':')) for p in out) + '\n]\n')


def windows(doc, phrase, width):
    """Lower-cased windows around every occurrence, as the skill cuts them."""
    out, start = [], 0
    while True:
        i = doc.find(phrase, start)
        if i < 0:
            return out
        out.append(doc[max(0, i - width):i + len(phrase) + width].lower())
        start = i + len(phrase)


def context_effect(tools, text, words, width):
    """Per side (attack, benign): documents containing `text`, those where
    every occurrence has one of `words` nearby, and those where one has."""
    t = fold(text)
    res = {}
    for name, docs in zip(('attack', 'benign'), tools.docs()):
        n = every = some = 0
        for d in docs:
            if t not in d:
                continue
            n += 1
            hits = [any(w in win for w in words) for win in windows(d, t, width)]
            every += all(hits)
            some += any(hits)
        res[name] = (n, every, some)
    return res


def cap_of(r):
    """The class's cap; below three words a medium phrase may not block alone."""
    tier = r['tier']
    if tier != 'S' and len(r['text'].split()) < 3:
        return {'M': 40.0, 'W': 4.0}[tier]
    return TIER_CAP[tier]


def assign_ratio(r, ev, A, B):
    a, b = ev['a'], ev['b']
    # Faint and medium wording gets the benefit of the doubt only as far as
    # the benign data can vouch for it: with no benign document found, the
    # benign rate is taken as UNSEEN_BENIGN documents, not half of one.
    unseen = 0.5 if r['tier'] == 'S' else UNSEEN_BENIGN
    lr = ((a + 0.5) / (A + 1)) / ((b + unseen) / (B + 1))
    if b == 0:
        return min(cap_of(r), max(TIER_DEFAULT[r['tier']], lr))
    return min(cap_of(r), lr, SEEN_BENIGN_CAP.get(b, SEEN_BENIGN_CAP_MORE))


def fmt_ratio(x):
    if x >= 100:
        return float(round(x))
    if x >= 10:
        return round(x, 1)
    return round(x, 2)


def candidates(tools):
    """Base records, then the reviewed lists, normalized, merged and ordered."""
    with open(os.path.join(SRC, 'base_records.json'), encoding='utf-8') as f:
        base = json.load(f)
    recs = []
    for p in base:
        t = p['text']
        lr = p['likelihood_ratio']
        r = dict(text=t, threat=p['threat_type'], desc=p['description'], cat='existing', src='existing', group=0,
                 tier='S' if lr >= 500 else 'M' if lr >= 50 else 'W', context=p.get('context'))
        if t in FIXED_TEXTS:
            r['fixed_json'] = p
        if t in PROTECTED:
            r['protected'] = True
            r['tier'] = 'S' if lr >= 100 else r['tier']
        recs.append(r)
    new = load_lists()
    for r, n in zip(new, tools.normalize([r['text'] for r in new])):
        r['text'] = n
    # Base phrases are normalized too (chat-template tokens), except the kept ones.
    for r, n in zip(recs, tools.normalize([r['text'] for r in recs])):
        if not r.get('fixed_json') and not r.get('protected'):
            r['text'] = n
    groups = {}
    for r in new:
        r['group'] = groups.setdefault((r['src'], r['cat']), len(groups) + 1)
    by_text = {}
    merged = []
    for r in recs + new:
        k = fold(r['text'])
        if len(k.encode()) < MIN_BYTES and not r.get('fixed_json'):
            continue
        if k in by_text:
            old = by_text[k]
            # A reviewed tier from the lists wins over one inferred from a base ratio.
            if old['src'] == 'existing' and r['src'] != 'existing' and not old.get('fixed_json') \
                    and not old.get('protected'):
                old['tier'] = r['tier']
            continue
        by_text[k] = r
        merged.append(r)
    shared = {}
    for r in merged:
        if r['src'] == 'existing' and r.get('context') and fold(r['text']) in SHARED_CONTEXT_FROM:
            shared[SHARED_CONTEXT_FROM[fold(r['text'])]] = r['context']
    for r in merged:
        if r.get('context') or r.get('fixed_json'):
            continue
        for key, ctx in shared.items():
            if key in fold(r['text']):
                r['context'] = ctx
    # Nothing may extend the first record: it must stay first and unshadowed.
    first = fold(merged[0]['text'])
    merged = [merged[0]] + [r for r in merged[1:] if not fold(r['text']).startswith(first)]
    # The loader gives every embedded record that contains this phrase the
    # phrase itself as its text: only the base records may hold it.
    merged = [r for r in merged if r['src'] == 'existing' or RENAMED_BY_LOADER not in r['text']]
    return order_records(merged)


def covered_ratio(r, strong, order):
    """The product of the ratios of the other kept phrases matching inside r's
    own text, leftmost-first as the matcher works."""
    t = fold(r['text'])
    product, pos = 1.0, 0
    while pos < len(t):
        best = None
        for k in range(pos + 1, len(t) + 1):
            q = strong.get(t[pos:k])
            if q is not None and q is not r and (best is None or order[t[pos:k]] < order[fold(best['text'])]):
                best = q
        if best is None:
            pos += 1
            continue
        product *= best['ratio']
        pos += len(best['text'])
    return product


def settle(tools, allrecs, db_path, verbose):
    """Measures, assigns ratios and drops or prunes records, round after round,
    until nothing changes."""
    for r in allrecs:
        r['status'] = 'active'
        r.setdefault('ratio', TIER_DEFAULT[r['tier']])
    for rnd in range(MAX_ROUNDS):
        active = [r for r in allrecs if r['status'] == 'active']
        write_db(active, db_path)
        A, B, ev, _ = tools.evidence(db_path)
        assert len(ev) == len(active)
        for r, e in zip(active, ev):
            r['ev'] = e
            if r.get('fixed_json'):
                continue
            ratio = assign_ratio(r, e, A, B)
            r['ratio'] = fmt_ratio(ratio)
            # A phrase that benign texts use is kept only when it is explicit
            # wording (and then below the blocking level, by its evidence).
            if (ratio < 1.3 or (e['b'] > 0 and r['tier'] != 'S')) and not r.get('protected'):
                r['status'] = 'dropped'
        # A phrase is pruned when the other kept phrases matching inside its
        # text give at least its ratio: it only hides them. Re-examined every
        # round, so a phrase comes back when the one covering it is dropped.
        order = {fold(r['text']): i for i, r in enumerate(allrecs)}
        strong = {fold(r['text']): r for r in allrecs if r['status'] == 'active'}
        changed = False
        for r in allrecs:
            if r['status'] == 'dropped' or r.get('fixed_json') or r.get('protected') or r.get('context'):
                continue
            status = 'pruned' if covered_ratio(r, strong, order) >= r['ratio'] else 'active'
            changed |= status != r['status']
            r['status'] = status
        # A phrase whose end is the start of a strong phrase beginning with an
        # override verb hides it (matching resumes after the earlier match).
        prefix_best = {}
        for r in allrecs:
            if r['status'] != 'active':
                continue
            words = fold(r['text']).split(' ')
            for k in range(1, len(words) + 1):
                p = ' '.join(words[:k])
                prefix_best[p] = max(prefix_best.get(p, 0.0), r['ratio'])
        for r in allrecs:
            if r['status'] != 'active' or r.get('fixed_json') or r.get('protected'):
                continue
            words = fold(r['text']).split(' ')
            for k in range(1, len(words)):
                suffix = ' '.join(words[k:])
                if words[k] in OVERRIDE_VERBS and prefix_best.get(suffix, 0.0) >= 148 and r['ratio'] < 37:
                    r['status'] = 'dropped'
                    changed = True
                    if verbose:
                        log('overlap', rnd, repr(r['text']), r['ratio'], '->', repr(suffix))
                    break
        log(f'round {rnd}: {dict(collections.Counter(r["status"] for r in allrecs))}')
        if not changed and rnd > 0:
            break
    return [r for r in allrecs if r['status'] == 'active'], A, B


def add_contexts(tools, recs, A, B):
    """Suppression where benign texts use an explicit phrase only in talk about
    attacks; boost near override verbs where attacks show them and no benign
    text does."""
    n_sup = n_boost = 0
    for r in recs:
        if r.get('fixed_json') or r.get('context'):
            continue
        e = r['ev']
        if r['tier'] == 'S' and e['b'] > 0:
            eff = context_effect(tools, r['text'], SUPPRESS_WORDS, SUPPRESS_WINDOW)
            (an, _, asome), (bn, bevery, _) = eff['attack'], eff['benign']
            if bn and bevery == bn and asome <= 0.2 * max(an, 1):
                r['context'] = {"suppress": {"patterns": SUPPRESS_WORDS, "multiplier": 0.05, "window": SUPPRESS_WINDOW}}
                lr = ((e['a'] + 0.5) / (A + 1)) / (0.5 / (B + 1))
                r['ratio'] = fmt_ratio(min(140.0, max(TIER_DEFAULT['S'], lr)))
                n_sup += 1
        elif r['cat'] == 'override' and r['tier'] in ('W', 'M') and not any(w in fold(r['text']) for w in BOOST_WORDS):
            eff = context_effect(tools, r['text'], BOOST_WORDS, BOOST_WINDOW)
            (_, _, asome), (_, _, bsome) = eff['attack'], eff['benign']
            if bsome == 0 and asome > 0:
                r['context'] = {"boost": {"patterns": BOOST_WORDS, "multiplier": 4.0, "window": BOOST_WINDOW}}
                n_boost += 1
    log(f'contexts: {n_sup} suppress, {n_boost} boost')


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--data', required=True, help='directory of the labelled *.jsonl files')
    ap.add_argument('--out', required=True, help='the database to write')
    ap.add_argument('--evidence-out', help='the evidence per record (vantrel_mine --evidence) to write')
    ap.add_argument('--split', default='all', choices=('all', 'mine', 'check'), help='the data to measure (all)')
    ap.add_argument('--build-dir', default=os.path.join(REPO, 'build-rel'), help='build with the data tools')
    ap.add_argument('--work', help='directory for data-derived intermediate files (a temporary one)')
    ap.add_argument('--verbose', action='store_true')
    args = ap.parse_args()

    work = args.work or tempfile.mkdtemp(prefix='vantrel-patterns-')
    os.makedirs(work, exist_ok=True)
    try:
        tools = Tools(args.build_dir, args.data, work, args.split)
        scratch_db = os.path.join(work, 'candidate.json')
        recs, A, B = settle(tools, candidates(tools), scratch_db, args.verbose)
        add_contexts(tools, recs, A, B)
        write_db(recs, args.out)
        if args.evidence_out:
            _, _, _, text = tools.evidence(args.out)
            with open(args.evidence_out, 'w', encoding='utf-8') as f:
                f.write(text)
        log(f'{len(recs)} records; {A} attack and {B} benign documents (split {args.split})')
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
