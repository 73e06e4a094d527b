// Python's difflib.get_close_matches(word, possibilities, n=1, cutoff=0.6),
// for the loader's "did you mean" hints: the same ratio, the same choice.
"use strict";

var QorCloseMatches = (function () {
  // SequenceMatcher(None, a, b).ratio(), with difflib's "popular element"
  // rule for a b of 200 or more characters.
  function ratio(a, b) {
    const b2j = new Map();
    [...b].forEach((ch, j) => {
      if (!b2j.has(ch)) b2j.set(ch, []);
      b2j.get(ch).push(j);
    });
    const bl = [...b], al = [...a];
    if (bl.length >= 200) {
      const popular = Math.floor(bl.length / 100) + 1;
      for (const [ch, where] of [...b2j]) if (where.length > popular) b2j.delete(ch);
    }

    function longest(alo, ahi, blo, bhi) {
      let besti = alo, bestj = blo, bestsize = 0;
      let j2len = new Map();
      for (let i = alo; i < ahi; i++) {
        const newj2len = new Map();
        for (const j of b2j.get(al[i]) || []) {
          if (j < blo) continue;
          if (j >= bhi) break;
          const k = (j2len.get(j - 1) || 0) + 1;
          newj2len.set(j, k);
          if (k > bestsize) { besti = i - k + 1; bestj = j - k + 1; bestsize = k; }
        }
        j2len = newj2len;
      }
      // Extend with equal elements left out of b2j (the popular ones).
      while (besti > alo && bestj > blo && al[besti - 1] === bl[bestj - 1]) {
        besti--; bestj--; bestsize++;
      }
      while (besti + bestsize < ahi && bestj + bestsize < bhi &&
             al[besti + bestsize] === bl[bestj + bestsize]) bestsize++;
      return [besti, bestj, bestsize];
    }

    let matches = 0;
    const queue = [[0, al.length, 0, bl.length]];
    while (queue.length) {
      const [alo, ahi, blo, bhi] = queue.pop();
      const [i, j, k] = longest(alo, ahi, blo, bhi);
      if (!k) continue;
      matches += k;
      if (alo < i && blo < j) queue.push([alo, i, blo, j]);
      if (i + k < ahi && j + k < bhi) queue.push([i + k, ahi, j + k, bhi]);
    }
    const total = al.length + bl.length;
    return total ? (2 * matches) / total : 1;
  }

  function closeMatch(word, possibilities) {
    let best = null;
    for (const x of possibilities) {
      const score = ratio(x, word);
      if (score < 0.6) continue;
      // Ties go to the greater text, as in heapq.nlargest over (score, text).
      if (!best || score > best.score || (score === best.score && x > best.text)) best = { score, text: x };
    }
    return best ? best.text : null;
  }

  return { ratio, closeMatch };
})();

if (typeof module !== "undefined") module.exports = QorCloseMatches;
