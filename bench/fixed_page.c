/* The baseline for the small-page benchmark: the cheapest possible CGI program, which
 * prints one fixed page of about the size that the gateway writes for the small template.
 * Built with cc -O2 by bench/pages.sh. */
#include <stdio.h>

static const char page[] =
    "Content-TYPE: text/html\n"
    "\n"
    "<HTML>\n"
    "<HEAD><TITLE>Garden chair</TITLE></HEAD>\n"
    "<BODY>\n"
    "<H1>Garden chair by Acme</H1>\n"
    "<P>Our Garden chair costs 12.50. Order before noon and it ships today; ask sales for\n"
    "bulk prices.</P>\n"
    "<TABLE BORDER=1><TR><TD>Code</TD><TD>GC-1</TD></TR>\n"
    "<TR><TD>Price</TD><TD ALIGN=right>12.50</TD></TR></TABLE>\n"
    "<A HREF=\"/cgi-bin/quorvel/item.htmx?ID=1&amp;FROM=GC\">Details for Garden chair</A>\n"
    "<HR><ADDRESS>Served by Quorvel 2.0.2</ADDRESS>\n"
    "</BODY>\n"
    "</HTML>\n";

int main(void)
{
    fwrite(page, 1, sizeof page - 1, stdout);
    return 0;
}
