"""A first look at velmora's protocol core."""

import velmora._velmora as m

print("velmora._velmora", m.__version__)
print()
print("uri_parts('https://user@[::1]:8443/x?y'):", m.uri_parts("https://user@[::1]:8443/x?y"))
print("uri_parts('example.com:80'):           ", m.uri_parts("example.com:80"))
h = m.HeaderMap([("Host", "example.com"), ("Accept", "text/html"), ("accept", "*/*")])
print("HeaderMap:", h)
print("  get_all('ACCEPT'):", h.get_all("ACCEPT"), " len:", len(h))
print("http_date():", m.http_date())
