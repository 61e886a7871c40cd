-- The demo shop's database: a small tea merchant.
--
-- Runs unchanged on SQLite (sqlite3 shop.db < schema.sql), on PostgreSQL
-- (psql -f schema.sql) and on MariaDB (mariadb DATABASE < schema.sql). Prices are chosen
-- so that all three print them with two decimals.

CREATE TABLE categories (
    id    INTEGER PRIMARY KEY,
    name  VARCHAR(40) NOT NULL
);

CREATE TABLE products (
    id           INTEGER PRIMARY KEY,
    category_id  INTEGER NOT NULL REFERENCES categories (id),
    name         VARCHAR(60) NOT NULL,
    price        NUMERIC(8, 2) NOT NULL,
    description  TEXT NOT NULL
);

CREATE TABLE reviews (
    product_id  INTEGER NOT NULL REFERENCES products (id),
    author      VARCHAR(40) NOT NULL,
    stars       INTEGER NOT NULL CHECK (stars BETWEEN 1 AND 5),
    body        TEXT NOT NULL
);

-- One row per order number the order form has stored. Every row of a submission inserts
-- it unless it is there (storing = 1); the first row then sets it to 0 when the order
-- already holds lines, and lines are stored only while it says 1. So a later submission of
-- the same number (a visitor pressing the button again after a lost answer) stores nothing
-- and still lands on the thank-you page of the order stored first, and one that arrives
-- while the first is being stored waits for it on the key and then does the same. An order
-- of only zeros holds no line: the visitor may go back and fill in the same form again.
CREATE TABLE orders (
    order_no  VARCHAR(20) NOT NULL PRIMARY KEY,
    storing   INTEGER NOT NULL
);

-- One row per product of a submitted order; the order form writes here, all lines of one
-- order under the order number the form carried, a product once per order. A quantity
-- with a fraction fails the check on SQLite (PostgreSQL rounds it to the integer column
-- instead).
CREATE TABLE order_lines (
    order_no    VARCHAR(20) NOT NULL REFERENCES orders (order_no),
    customer    VARCHAR(60) NOT NULL,
    email       VARCHAR(80) NOT NULL,
    product_id  INTEGER NOT NULL REFERENCES products (id),
    qty         INTEGER NOT NULL CHECK (qty > 0 AND qty = CAST(qty AS INTEGER)),
    placed_at   TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,
    PRIMARY KEY (order_no, product_id)
);

INSERT INTO categories (id, name) VALUES
    (1, 'Green tea'),
    (2, 'Black tea'),
    (3, 'Oolong'),
    (4, 'Herbal'),
    (5, 'Cups & pots');

INSERT INTO products (id, category_id, name, price, description) VALUES
    (1, 1, 'Sencha Fukamushi', 12.95, 'Deep-steamed sencha from Shizuoka: grassy, sweet, dark green in the cup.'),
    (2, 1, 'Gyokuro Asahi', 29.75, 'Shade-grown for three weeks before picking. Brew it cool, at 55 degrees.'),
    (3, 1, 'Genmaicha', 7.45, 'Bancha with roasted rice; nutty and mild.'),
    (4, 1, 'Dragon Well (Longjing)', 18.65, 'Flat, pan-fired leaves from Hangzhou with a chestnut finish.'),
    (5, 2, 'Assam Breakfast', 6.95, 'Malty and strong; takes milk well.'),
    (6, 2, 'Darjeeling First Flush', 21.45, 'Spring picking from the Himalayan foothills: light, floral, muscatel.'),
    (7, 2, 'Lapsang Souchong', 9.85, 'Smoked over pine fires. Not for everyone.'),
    (8, 2, 'Earl Grey "Supreme"', 8.45, 'Black tea with bergamot oil and a few cornflower petals.'),
    (9, 2, 'Yunnan Gold', 16.35, 'Golden buds, honey and cocoa notes, no bitterness.'),
    (10, 3, 'Tie Guan Yin', 14.25, 'Rolled green oolong, orchid aroma; steep it five times.'),
    (11, 3, 'Da Hong Pao', 24.95, 'Rock oolong from the Wuyi mountains, roasted over charcoal.'),
    (12, 3, 'Milk Oolong', 11.15, 'Creamy Jin Xuan from Taiwan.'),
    (13, 4, 'Rooibos Vanilla', 5.95, 'Caffeine-free red bush with vanilla pieces.'),
    (14, 4, 'Peppermint', 4.45, 'Whole peppermint leaves. After dinner.'),
    (15, 4, 'Chamomile <Egypt>', 5.35, 'Whole flowers; the angle brackets in the name show that database text is escaped.'),
    (16, 4, 'Lemongrass & Ginger', 6.15, 'Bright and warming.'),
    (17, 5, 'Kyusu teapot 250 ml', 34.95, 'Side-handled clay pot with a built-in filter.'),
    (18, 5, 'Gaiwan, white porcelain', 13.45, 'Lidded bowl for oolongs and green teas.'),
    (19, 5, 'Cups & saucers (set of 4)', 27.35, 'Thin porcelain, 120 ml each.'),
    (20, 5, 'Bamboo tea scoop', 3.95, 'Measures about 2 grams.'),
    (21, 1, 'Matcha Uji', 22.85, 'Stone-ground tencha; whisk it, do not steep it.'),
    (22, 2, 'Ceylon Orange Pekoe', 7.15, 'Bright, brisk and coppery.'),
    (23, 3, 'Oriental Beauty', 26.55, 'Leafhopper-bitten leaves give it a honeyed taste.'),
    (24, 4, 'Hibiscus', 4.85, 'Tart and deep red; good iced.');

INSERT INTO reviews (product_id, author, stars, body) VALUES
    (1, 'Mika', 5, 'My everyday green tea.'),
    (1, 'Tom', 4, 'A little bitter if you brew it too hot.'),
    (2, 'Aiko', 5, 'Expensive, and worth it.'),
    (5, 'Ruth', 4, 'Strong enough to stand a spoon in.'),
    (7, 'Sam', 2, 'Tastes like a campfire. Which is the point, I suppose.'),
    (7, 'Lee', 5, 'Tastes like a campfire!'),
    (8, 'Olga', 4, 'Good bergamot, not perfumy.'),
    (10, 'Wen', 5, 'Five infusions and still going.'),
    (15, 'Ann', 3, 'Nice, but <b>not</b> strong.'),
    (17, 'Kenji', 5, 'Pours cleanly, the filter never clogs.');
