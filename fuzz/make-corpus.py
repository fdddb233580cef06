#!/usr/bin/env python3
"""Writes the fuzz seed corpora under fuzz/corpus: small conformance documents from the
shared test data (corpus/json, used by every JSON target) and documents of our own per target.
Reproducers of findings live in corpus/<target>/crash-* and are kept when regenerating."""
import base64
import hashlib
import os
import shutil
import sys

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(here)
testdata = os.environ.get("KORVO_TESTDATA", os.path.join(root, "..", "shared", "testdata"))
corpus = os.path.join(here, "corpus")


def write(target, name, content):
    directory = os.path.join(corpus, target)
    os.makedirs(directory, exist_ok=True)
    data = content.encode() if isinstance(content, str) else content
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def reset(target):
    directory = os.path.join(corpus, target)
    if os.path.isdir(directory):
        for name in os.listdir(directory):
            if not name.startswith("crash-"):
                os.remove(os.path.join(directory, name))


targets = ["json", "parse", "serialize", "visitor", "array_stream", "object_stream", "json_value", "sse", "multipart"]
for t in targets:
    reset(t)

# Conformance documents: the small accept/reject/implementation-defined cases.
suite = os.path.join(testdata, "json", "JSONTestSuite", "test_parsing")
for name in sorted(os.listdir(suite)):
    path = os.path.join(suite, name)
    if os.path.getsize(path) <= 2048:
        with open(path, "rb") as f:
            write("json", name, f.read())

big = "x" * 70 + "\\u00e9\\ud83d\\ude00" + "y" * 40
records = [
    '{"s":"hello","fs":"abcdefghijk","i":-42,"u":18446744073709551615,"f":1.5e-3,"b":true}',
    '{"st":"%s","sb":"%s"}' % (big, base64.b64encode(os.urandom(0) + b"binary\x00\xff" * 20).decode()),
    '{"v":{"a":[1,2.5e10,"x\\n",null,true,{"b":{}}]},"o":{"name":"n","flag":false,"item":{"x":1,"tag":"t","w":2}}}',
    '{"sa":["a","\\u0041",""],"ia":[1,-2,9223372036854775807],"ua":[0,1],"fa":[0.1,-1e308,5e-324],"ba":[true,false]}',
    '{"oa":[{"x":1},{"x":2,"tag":null,"w":-0.0}],"ss":["one","t\\"wo","\\ud834\\udd1e"]}',
    '{"s":null,"v":"str","i":1,"i":2}',
    '{"oa":[{"tag":"missing x"}]}',
    '{"o":{"item":{"item":{"x":1}}},"v":[[[[[[1]]]]]]}',
    '{"f":123456789012345678901234567890,"u":-1,"i":1.0}',
    '{"sb":"not base64!","st":"\\uDC00"}',
    '{"s":"a\\u0000b","fs":"\\u00e9\\u00e9\\u00e9\\u00e9","ss":[1]}',
    ' { "s" : "spaces" , "ia" : [ 1 , 2 ] } ',
    '{"v":{"k":1e400}}',
]
for i, text in enumerate(records):
    write("parse", "doc-%02d.json" % i, text)
    write("serialize", "doc-%02d.json" % i, text)

values = ['[1,{"a":"b\\u00e9"},[],{}]', '"\\ud83d\\ude00 and \\t"', '-0.0e+5', '{"a":{"a":{"a":[true,false,null]}}}',
          '1 2', '"' + "z" * 300 + '"', '{"k' + "k" * 300 + '":0}', '[' * 70 + ']' * 70, '12345678901234567890123']
for i, text in enumerate(values):
    write("visitor", "value-%02d.json" % i, text)
    write("json_value", "value-%02d.json" % i, text)

arrays = ['{"items":[{"s":"a","i":1},{"s":"b","ia":[1,2]}],"cursor":"c1"}', '[{"s":"root"},{"i":5}]',
          '{"before":{"x":[1,2]},"items":["p","q\\n"],"after":true}', '{"items":[1,"two",null,{"a":[]}]}',
          '{"items":[],"items":[{}]}', '[{"s":1}]', '{"items":[{"s":"x"}', '[]', '{"other":[1]}']
for i, text in enumerate(arrays):
    write("array_stream", "array-%02d.json" % i, text)

streams = ['{"s":"a"}\n{"s":"b","i":2}\n', '{"i":1} {"i":2}{"i":3}', '{"s":"a"}\n[1]\n{"s":"c"}\n',
           '{"ia":[1,2,\n3]}\n\n\n', '{"s":"unterminated', '  \n ', '{"oa":[{"x":1}]}\n{"oa":[{"y":1}]}\n{"b":true}']
for i, text in enumerate(streams):
    write("object_stream", "stream-%02d.jsonl" % i, text)

sse = ['event: update\nid: 7\ndata: {"s":"a","i":1}\n\n', 'data: line one\ndata: line two\r\n\r\n',
       ': comment\nretry: 1500\ndata:{"s":"x"}\n\nevent: other\ndata: {"i":2}\n\n',
       'data: {"s":"crlf"}\r\rdata: {"i":3}\n', 'id\nevent\ndata\n\n', 'data: {"s":\ndata: "split"}\n\n',
       '\xef\xbb\xbfdata: bom\n\n', 'data: {"i":"bad"}\n\ndata: {"i":4}\n\n']
for i, text in enumerate(sse):
    write("sse", "events-%02d.txt" % i, text)

# Multipart bodies: the first line of each seed is the Content-Type header value.
def body(parts, boundary="XyZ"):
    out = ""
    for headers, data in parts:
        out += "--%s\r\n%s\r\n%s\r\n" % (boundary, "".join(h + "\r\n" for h in headers), data)
    return out + "--%s--\r\nepilogue" % boundary

multipart = [
    "multipart/related; boundary=XyZ\n" + body([(["Content-Type: application/json"], '{"a":1}'),
                                                (["Content-Disposition: form-data; name=\"file\"", "Content-Length: 5"], "ab\r\nc")]),
    'multipart/mixed; boundary="q b"\n' + body([([], "plain"), (["X-A:  v  "], "--q b not a delimiter")], "q b"),
    "multipart/form-data; BOUNDARY=XyZ\n" + "preamble\r\n" + body([(["Content-Length: 0"], "")]),
    "multipart/related; boundary=XyZ\n--XyZ\r\nContent-Length: 99\r\n\r\nshort",
    "multipart/related; boundary=XyZ\n--XyZ\nBad header\n\ndata\n--XyZ--\n",
]
for i, text in enumerate(multipart):
    write("multipart", "body-%02d.txt" % i, text)

total = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(corpus) for f in fs)
print("corpus: %d bytes" % total)
