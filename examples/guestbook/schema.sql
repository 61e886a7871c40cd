-- The guestbook's database: one row per entry.
--
-- sqlite3 guestbook.db < schema.sql

CREATE TABLE entries (
    id       INTEGER PRIMARY KEY,
    name     VARCHAR(40) NOT NULL CHECK (name <> ''),
    message  VARCHAR(400) NOT NULL CHECK (message <> ''),
    written  TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP
);

INSERT INTO entries (name, message, written) VALUES
    ('Ada', 'First! Lovely little site.', '2026-01-02 10:00:00'),
    ('Grace', 'Found a bug, fixed a bug. <b>Bold</b> claims stay text.', '2026-01-03 11:30:00'),
    ('Linus', 'Signed from a terminal.', '2026-01-04 09:15:00');
