// zept-probe.js DIST - the state of ZEPT on this Windows server, for
// zept-deploy.cmd, which runs it with the 32-bit script host so that the
// registry is seen through the 32-bit view, as the installer writes it.
// The host is found as the installer finds it: the first folder of PATH
// with pagra.exe; pagra.ini on PATH, else in that folder, else in its
// "data" subfolder; the data folder from Directory= in [Pagra].
//
// Prints NAME=value lines: HOST, INI, DATA (folders end in "\"), LISTED
// (1 when ServerTasks lists ZEPT, which makes the installer show its
// existing-installation menu) and STATE: present (every file, the
// registry value naming this host's nqsxkc.dll, both list items, and an
// installed program at least as new as DIST's), absent (no trace), outdated
// (whole but older) or partial. A host that cannot be found: ERROR=why,
// exit status 11.
var fso = new ActiveXObject("Scripting.FileSystemObject");
var shell = new ActiveXObject("WScript.Shell");
var REG_VALUE = "HKLM\\Software\\Korvan\\Components\\MirelangExtensions\\2.0\\QSXKC";
var HOST_FILES = ["nzept.exe", "nzeptrmv.exe", "nkctest.exe", "norder.kcx", "nedasql.kcx", "ndb2.kcx",
  "nsybase.kcx", "nodbc2.kcx", "noracle.kcx", "nfile.kcx", "npagra.kcx", "nzeptext.dll", "nqsxkc.dll",
  "nkcapi.dll", "nkchtapi.dll", "msvcirt.dll", "msvcrt40.dll", "kccmn10.dll", "kccsn13.tlb"];
var DATA_FILES = ["zeptadm.ptf", "zeptdoc.psf"];

function out(name, value) { WScript.Echo(name + "=" + value); }
function quit(why) { out("ERROR", why); WScript.Quit(11); }
function withSep(dir) { return /\\$/.test(dir) ? dir : dir + "\\"; }

// The first folder of PATH holding name, as the installer searches it.
function onPath(name) {
  var dirs = shell.ExpandEnvironmentStrings("%PATH%").split(";");
  for (var i = 0; i < dirs.length; i++)
    if (dirs[i] !== "" && fso.FileExists(withSep(dirs[i]) + name)) return withSep(dirs[i]);
  return null;
}

// The lines of [Pagra] (the text ends at a Ctrl-Z), up to the next section.
function pagraLines(path) {
  var f = fso.OpenTextFile(path, 1, false, 0);
  var text = f.AtEndOfStream ? "" : f.ReadAll();
  f.Close();
  var eot = text.indexOf("\x1a");
  if (eot >= 0) text = text.substring(0, eot);
  text = text.replace(/^\u00ef\u00bb\u00bf/, "");
  var lines = text.split("\n"), section = [], inside = false;
  for (var i = 0; i < lines.length; i++) {
    var line = lines[i].replace(/\r$/, "");
    if (line.charAt(0) === "[") {
      if (inside) break;
      inside = line.substring(0, 7).toLowerCase() === "[pagra]";
    } else if (inside) {
      section.push(line);
    }
  }
  return section;
}

function entry(section, name) {
  var head = name.toLowerCase() + "=";
  for (var i = 0; i < section.length; i++)
    if (section[i].substring(0, head.length).toLowerCase() === head) return section[i].substring(head.length);
  return null;
}

// A whole item of a comma-separated list, blanks around it ignored.
function listed(section, name, item) {
  var list = entry(section, name);
  if (list === null) return false;
  var items = list.split(",");
  for (var i = 0; i < items.length; i++)
    if (items[i].replace(/^[ \t]+|[ \t]+$/g, "") === item) return true;
  return false;
}

// a.b.c.d compared part by part; a missing part counts as 0.
function versionAtLeast(have, need) {
  var h = have.split("."), n = need.split(".");
  for (var i = 0; i < 4; i++) {
    var a = parseInt(h[i] || "0", 10), b = parseInt(n[i] || "0", 10);
    if (a !== b) return a > b;
  }
  return true;
}

var dist = withSep(WScript.Arguments.length > 0 ? WScript.Arguments(0) : ".");
var host = onPath("pagra.exe");
if (host === null) quit("pagra.exe is on no folder of PATH (name the host folder as the third argument)");
var iniDir = onPath("pagra.ini");
if (iniDir === null && fso.FileExists(host + "pagra.ini")) iniDir = host;
if (iniDir === null && fso.FileExists(host + "data\\pagra.ini")) iniDir = host + "data\\";
if (iniDir === null) quit("no pagra.ini on PATH, in " + host + " or in " + host + "data\\");
var section = pagraLines(iniDir + "pagra.ini");
var data = entry(section, "Directory");
if (data === null || data === "") quit(iniDir + "pagra.ini names no data folder (Directory= in [Pagra])");
data = withSep(data);

var some = false, all = true;
for (var i = 0; i < HOST_FILES.length + DATA_FILES.length; i++) {
  var path = i < HOST_FILES.length ? host + HOST_FILES[i] : data + DATA_FILES[i - HOST_FILES.length];
  if (fso.FileExists(path)) some = true; else all = false;
}
var registered = null;
try { registered = String(shell.RegRead(REG_VALUE)); } catch (e) { registered = null; }
var module = fso.GetAbsolutePathName(host + "nqsxkc.dll").toLowerCase();
var regHere = registered !== null && fso.FileExists(registered) &&
  fso.GetAbsolutePathName(registered).toLowerCase() === module;
var tasks = listed(section, "ServerTasks", "ZEPT"), addins = listed(section, "EXTMGR_ADDINS", "nzeptext.dll");

var state = "partial";
if (all && regHere && tasks && addins) {
  // The distribution's own nzeptrmv.exe wins over nzeptins.exe, as the installer takes it.
  var source = fso.FileExists(dist + "nzeptrmv.exe") ? dist + "nzeptrmv.exe" : dist + "nzeptins.exe";
  var shipped = fso.FileExists(source) ? fso.GetFileVersion(source) : "";
  state = versionAtLeast(fso.GetFileVersion(host + "nzeptrmv.exe"), shipped) ? "present" : "outdated";
} else if (!some && registered === null && !tasks && !addins) {
  state = "absent";
}
out("HOST", host);
out("INI", iniDir + "pagra.ini");
out("DATA", data);
out("LISTED", tasks ? 1 : 0);
out("STATE", state);
