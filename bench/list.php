<?php
// The demo shop's product list (examples/shop/site/list.htmx) written in PHP with PDO, for
// bench/web: the same two queries, the first 20 rows, the names cut or padded to a fixed
// width and escaped with htmlspecialchars, the header and footer text the gateway writes.
// The data source comes from the php-fpm pool's environment: QV_BENCH_PDO (say
// "sqlite:/path/shop.db"), or QV_BENCH_PDO_ODBC ("odbc:shop") when the query string is "odbc".
// QUORVEL_VERSION is replaced by bench/web with the gateway's version.

function fixed_width($text, $width) {
    if (iconv_strlen($text, 'UTF-8') > $width) {
        $text = iconv_substr($text, 0, $width, 'UTF-8');
    }
    return htmlspecialchars($text) . str_repeat(' ', $width - iconv_strlen($text, 'UTF-8'));
}

$db = new PDO(getenv($_SERVER['QUERY_STRING'] === 'odbc' ? 'QV_BENCH_PDO_ODBC' : 'QV_BENCH_PDO'));
$shop = 'Leaf & Kettle';
?>
<!DOCTYPE html>
<HTML LANG=en>
<HEAD><META CHARSET="utf-8">
<META CONTENT="width=device-width, initial-scale=1" NAME=viewport>
<LINK REL=stylesheet HREF="/style.css">
<TITLE>Products - <?= $shop ?></TITLE></HEAD>
<BODY>
<DIV CLASS=top>
<A HREF="index.htmx"><B><?= $shop ?></B></A>
<A HREF="list.htmx">Products</A>
<A HREF="search.htmx">Search</A>
<A HREF="order.htmx">Order</A>
</DIV>

<H1>Products</H1>


<PRE>
<B>Product                    Category     Price</B>
<?php
$products = $db->query('SELECT p.id, p.name, c.name AS category, p.price FROM products p JOIN categories c ON c.id = p.category_id ORDER BY c.id, p.name');
for ($n = 0; $n < 20 && ($row = $products->fetch(PDO::FETCH_NUM)); ++$n) {
    echo '<A HREF="product.htmx?ID=', htmlspecialchars($row[0]), '">', fixed_width($row[1], 25),
        '</A>  ', fixed_width($row[2], 11), '  ', htmlspecialchars($row[3]), "\n";
}
$products = null;
$count = $db->query('SELECT COUNT(*) AS count FROM products')->fetchColumn();
?>
</PRE>

<DIV CLASS=p>The first 20 of <?= htmlspecialchars($count) ?> products. <A HREF="search.htmx">Search</A> to find the others.</DIV>

<HR>
<ADDRESS><?= $shop ?> is a demo site, served by Quorvel QUORVEL_VERSION through
<?= htmlspecialchars($_SERVER['SERVER_SOFTWARE']) ?>. Every page is a template in examples/shop/site.</ADDRESS>

</BODY>
</HTML><?php // the gateway's page ends without a line break
