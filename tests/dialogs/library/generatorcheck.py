#!/usr/bin/env python3
"""Seeds library.db for the playlist generator's tests and checks what the
generator made against its own reading of the database and the rules.

  generatorcheck.py seed DB
  generatorcheck.py check DB CASE.json    (prints the findings as JSON)
  generatorcheck.py chi2 DB COUNTS.json   (picks per path, one library)
"""
import datetime
import json
import sqlite3
import sys


def seed(db):
    c = sqlite3.connect(db)
    now = datetime.datetime.now()
    today = now.date()
    away = 1 << ((now.hour + 12) % 24)  # an hour far from now, on every day
    day = datetime.timedelta(days=1)

    def add(lib, path, artist, title, album='', genre='', year=0, ms=200000, stream=0, **params):
        c.execute("INSERT OR IGNORE INTO libraries(name) VALUES(?)", (lib,))
        c.execute("INSERT INTO tracks(library, filepath, artist, title, album, genre, year, duration_ms,"
                  " is_stream, comment, category, play_count, last_played, date_added)"
                  " VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                  (lib, path, artist, title, album, genre, year, ms, stream, 'from ' + path,
                   'Jingle' if lib == 'jingles' else 'Music', len(path), '2026-03-04T05:06:07',
                   '2025-01-02T03:04:05'))
        if params:
            c.execute("INSERT INTO track_params VALUES(?,?)", (path, json.dumps(params)))

    tagsets = [[], ['Ballad'], ['Jingle'], ['New'], ['Old'], ['Ballad', 'New'], ['jingle'], ['BALLAD']]
    for k in range(150):
        p = {'rating': k % 11, 'tags': tagsets[k % len(tagsets)]}
        if k % 37 == 5:
            p['disabled'] = True
        if k % 19 == 3:
            p['startDate'], p['endDate'] = str(today - 30 * day), str(today - 10 * day)
        if k % 19 == 4:
            p['startDate'], p['endDate'] = str(today - day), str(today + day)
        if k % 17 == 2:
            p['daypart'] = [away] * 7
        if k % 17 == 3:
            p['daypart'] = [0xFFFFFF & ~away] * 7
        add('Main', f'/m/{k}.mp3', f'Artist {k % 40}' if k % 29 else '', f'Song {k % 45}', f'Album {k % 15}',
            ['Rock', 'Pop', 'Jazz', 'rock', ''][k % 5], 0 if k % 23 == 0 else 1965 + (k * 7) % 60,
            0 if k % 31 == 0 else 150000 + (k * 13 % 12) * 10000, **p)
    for k in range(3):
        add('Main', f'http://radio/{k}', 'Online stream', f'Stream {k}', stream=1)
    for k in range(8):
        add('jingles', f'/j/{k}.mp3', 'Station', f'Jingle {k}', ms=10000 + 2000 * k, tags=['Jingle'])
    for k in range(5):
        add('Four', f'/f/{k}.mp3', f'Four {k}', f'Four {k}', ms=240000)
    for k in range(6):
        add('One artist', f'/o/{k}.mp3', 'Solo', f'Solo {k}', ms=180000)
    add('Unplayable', 'http://radio/x', 'Online stream', 'x', stream=1)
    add('Unplayable', '/u/0.mp3', 'U', 'Off', disabled=True)
    add('Unplayable', '/u/1.mp3', 'U', 'Past', startDate=str(today - 9 * day), endDate=str(today - 2 * day))
    add('Unplayable', '/u/2.mp3', 'U', 'Later', daypart=[away] * 7)
    for k in range(12):  # equal up to case: the order among them is the listing's
        add('Ties', f'/t/{k}.mp3', ['Echo', 'ECHO', 'echo'][k % 3], ['One', 'one'][k // 6], ms=200000 + k)
    for k, rating in enumerate([0, 3, 6, 8, 10]):
        add('Weighted', f'/w/{k}.mp3', f'W{k}', f'W{k}', f'W{k}', ms=60000, rating=rating)
    c.commit()


def tracks_of(c, lib):
    rows = c.execute("SELECT t.filepath, t.artist, t.title, t.album, t.genre, t.year, t.duration_ms,"
                     " t.is_stream, p.params FROM tracks t LEFT JOIN track_params p ON p.filepath = t.filepath"
                     " WHERE t.library = ?", (lib,))
    out = []
    for path, artist, title, album, genre, year, ms, stream, params in rows:
        p = json.loads(params) if params else {}
        out.append(dict(path=path, artist=artist, title=title, album=album, genre=genre, year=year, ms=ms,
                        stream=stream, rating=p.get('rating', 0), tags=[t.lower() for t in p.get('tags', [])],
                        p=p))
    return out


def available(t, when):
    p = t['p']
    if t['stream'] or p.get('disabled'):
        return False
    if 'startDate' in p and 'endDate' in p:
        if not p['startDate'] <= when.date().isoformat() <= p['endDate']:
            return False
    masks = p.get('daypart', [0] * 7)
    return not any(masks) or bool(masks[when.weekday()] >> when.hour & 1)


def split(text):
    return [part.strip().lower() for part in text.split(',') if part.strip()]


def pairs(text):
    out = []
    for line in text.split('\n'):
        at = line.lower().find(' after ')
        if at > 0 and line[:at].strip() and line[at + 7:].strip():
            out.append((line[:at].strip().lower(), line[at + 7:].strip().lower()))
    return out


def weight(rating, rules):
    if not rules['favour']:
        prio = 50
    elif rules['minRating'] >= 1 and rating < rules['minRating']:
        return 0.0
    else:
        prio = 50 if rating < 1 else min(rating * 10, 100)
    return 3.5 ** ((prio - 50) / 50)


def check(db, case_path):
    case = json.load(open(case_path))
    rules, rotation, picks = case['rules'], case['rotation'], case['picks']
    c = sqlite3.connect(db)
    when = datetime.datetime.fromisoformat(case['now'])
    include, exclude, genres = split(rules['include']), split(rules['exclude']), split(rules['genres'])
    follow = pairs(rules['cannotFollow'])
    lo, hi = rules['yearFrom'], rules['yearTo']
    sep = {'artist': rules['artist'] if rules['avoidArtist'] else 0, 'title': rules['title'],
           'album': rules['album']}

    def passes(t):
        if include and not set(include) & set(t['tags']) or set(exclude) & set(t['tags']):
            return False
        if genres and t['genre'].lower() not in genres:
            return False
        if (lo or hi) and (t['year'] < 1 or lo and t['year'] < lo or hi and t['year'] > hi):
            return False
        return True

    fallback = {lib: [t for t in tracks_of(c, lib) if available(t, when) and passes(t)] for lib in rotation}
    errors, fallbacks, history, total, turn, previous = [], 0, [], 0, 0, []
    for i, pick in enumerate(picks):
        while not fallback[rotation[turn % len(rotation)]] and turn < 500000:
            turn += 1
        lib = rotation[turn % len(rotation)]
        turn += 1
        row = next((t for t in fallback[lib] if t['path'] == pick['path']), None)
        if row is None:
            errors.append(f'pick {i} {pick["path"]}: not a playable track of {lib} that passes the filters')
            continue
        if [pick[k] for k in ('artist', 'title', 'album', 'durationMs')] != \
                [row[k] for k in ('artist', 'title', 'album', 'ms')]:
            errors.append(f'pick {i} {pick["path"]}: not the library\'s record')

        def allowed(t):
            for h, age in history:
                if any(t[k] and t[k].lower() == h[k].lower() and age < sep[k] for k in sep):
                    return False
            if any(a in t['tags'] and b in previous for a, b in follow):
                return False
            return weight(t['rating'], rules) > 0

        candidates = [t for t in fallback[lib] if allowed(t)]
        if candidates and row not in candidates:
            errors.append(f'pick {i} {pick["path"]}: breaks a rule although {len(candidates)} tracks kept them')
        fallbacks += not candidates
        total += row['ms'] if row['ms'] >= 1 else 180000
        history = [(h, age + (row['ms'] // 60000 + 1 if row['ms'] >= 1 else 4)) for h, age in history]
        history = ([(row, 0)] + history)[:200]
        previous = row['tags']
        if total >= case['target'] and i < len(picks) - 1:
            errors.append(f'pick {i}: the target was reached, yet {len(picks) - 1 - i} more followed')
    if picks and total < case['target']:
        errors.append(f'ended at {total} ms, short of the target {case["target"]} ms')
    print(json.dumps({'errors': errors, 'fallbacks': fallbacks, 'picks': len(picks)}))


def chi2(db, counts_path):
    counts = json.load(open(counts_path))
    c = sqlite3.connect(db)
    ratings = {path: json.loads(p).get('rating', 0) for path, p in c.execute("SELECT * FROM track_params")}
    weights = {path: weight(ratings.get(path, 0), {'favour': True, 'minRating': 0}) for path in counts}
    n, w = sum(counts.values()), sum(weights.values())
    stat = sum((counts[p] - n * weights[p] / w) ** 2 / (n * weights[p] / w) for p in counts)
    critical = {4: 18.467}[len(counts) - 1]  # chi-squared, significance 0.001
    print(json.dumps({'statistic': stat, 'critical': critical, 'picks': n}))
    return 0 if stat < critical else 1


if __name__ == '__main__':
    command, db = sys.argv[1], sys.argv[2]
    if command == 'seed':
        seed(db)
    elif command == 'check':
        check(db, sys.argv[3])
    else:
        sys.exit(chi2(db, sys.argv[3]))
