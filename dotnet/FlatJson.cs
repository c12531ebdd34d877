using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text;

namespace Dravik
{
    /// <summary>The one JSON shape libdravik gives: a flat object whose values are strings,
    /// true, false or arrays of strings (the tags, the port list's and the search's
    /// lines).</summary>
    /// <remarks>Strict: anything else (a number, a nested value, a duplicate key, text after
    /// the object) is a FormatException, since it means a library this assembly does not
    /// match.</remarks>
    internal sealed class FlatJson
    {
        private readonly string text;
        private int at;

        private FlatJson(string text)
        {
            this.text = text;
        }

        /// <summary>The object's members: each value a string, a bool or a string[].</summary>
        internal static Dictionary<string, object> Parse(string text)
        {
            var reader = new FlatJson(text);
            var members = new Dictionary<string, object>(StringComparer.Ordinal);
            reader.Expect('{');
            if (!reader.Take('}'))
            {
                do
                {
                    string key = reader.String();
                    reader.Expect(':');
                    if (members.ContainsKey(key)) throw reader.Bad("a second \"" + key + "\"");
                    members.Add(key, reader.Value());
                } while (reader.Take(','));
                reader.Expect('}');
            }
            reader.SkipBlanks();
            if (reader.at != text.Length) throw reader.Bad("text after the object");
            return members;
        }

        /// <summary>An object whose values must all be strings, as the tags are.</summary>
        internal static Dictionary<string, string> ParseStrings(string text)
        {
            var strings = new Dictionary<string, string>(StringComparer.Ordinal);
            foreach (KeyValuePair<string, object> member in Parse(text))
            {
                string value = member.Value as string;
                if (value == null)
                    throw new FormatException("\"" + member.Key + "\" is not text in " + text);
                strings.Add(member.Key, value);
            }
            return strings;
        }

        private FormatException Bad(string what)
        {
            return new FormatException(what + " at " + at.ToString(CultureInfo.InvariantCulture) +
                                       " of " + text);
        }

        private void SkipBlanks()
        {
            while (at < text.Length && " \t\r\n".IndexOf(text[at]) >= 0)
                ++at;
        }

        private bool Take(char c)
        {
            SkipBlanks();
            if (at >= text.Length || text[at] != c) return false;
            ++at;
            return true;
        }

        private void Expect(char c)
        {
            if (!Take(c)) throw Bad("no '" + c + "'");
        }

        private bool TakeWord(string word)
        {
            if (string.CompareOrdinal(text, at, word, 0, word.Length) != 0) return false;
            at += word.Length;
            return true;
        }

        private object Value()
        {
            SkipBlanks();
            if (TakeWord("true")) return true;
            if (TakeWord("false")) return false;
            if (!Take('[')) return String();
            var strings = new List<string>();
            if (Take(']')) return strings.ToArray();
            do
            {
                strings.Add(String());
            } while (Take(','));
            Expect(']');
            return strings.ToArray();
        }

        private string String()
        {
            Expect('"');
            var value = new StringBuilder();
            while (true)
            {
                if (at >= text.Length) throw Bad("an unended string");
                char c = text[at++];
                if (c == '"') return value.ToString();
                if (c < ' ') throw Bad("a control character in a string");
                if (c != '\\')
                {
                    value.Append(c);
                    continue;
                }
                if (at >= text.Length) throw Bad("an unended escape");
                char escaped = text[at++];
                int simple = "\"\\/bfnrt".IndexOf(escaped);
                if (simple >= 0)
                {
                    value.Append("\"\\/\b\f\n\r\t"[simple]);
                }
                else if (escaped == 'u' && at + 4 <= text.Length && IsHex(text, at, 4))
                {
                    // A surrogate pair comes as two escapes, each a UTF-16 unit, as C# keeps them.
                    value.Append((char)int.Parse(text.Substring(at, 4),
                                                 NumberStyles.AllowHexSpecifier,
                                                 CultureInfo.InvariantCulture));
                    at += 4;
                }
                else
                {
                    throw Bad("an unknown escape");
                }
            }
        }

        private static bool IsHex(string text, int start, int count)
        {
            for (int k = start; k < start + count; ++k)
                if (!Uri.IsHexDigit(text[k])) return false;
            return true;
        }
    }
}
