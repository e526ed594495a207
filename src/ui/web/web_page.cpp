// The page's text; see web_page.h. The status arrives as server-sent events; the settings form
// is built from the fields the server lists, so that it always shows the window's own labels.
#include "ui/web/web_page.h"

namespace horatone {
namespace {

constexpr const char* kPage = R"HTML(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Horatone</title>
<style>
:root{--bg:#f3f4f6;--card:#fff;--ink:#1f2933;--dim:#62707d;--line:#d9dee3;--accent:#1d5fa8;--on:#c62828;--off:#2e7d32}
*{box-sizing:border-box}
[hidden]{display:none!important}
body{margin:0;font:15px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;background:var(--bg);color:var(--ink)}
header{display:flex;align-items:center;justify-content:space-between;gap:12px;flex-wrap:wrap;padding:12px 16px;background:#18324d;color:#fff}
header h1{font-size:18px;margin:0;font-weight:600}
#time{font:600 28px/1 ui-monospace,"DejaVu Sans Mono",monospace;letter-spacing:1px}
.badge{display:inline-block;padding:4px 10px;border-radius:12px;font-weight:600;color:#fff;background:var(--off)}
.badge.on{background:var(--on)}
main{max-width:1180px;margin:0 auto;padding:12px;display:grid;gap:12px;grid-template-columns:1fr}
@media(min-width:900px){main{grid-template-columns:minmax(0,5fr) minmax(0,7fr)}#logcard{grid-column:1/-1}}
section{background:var(--card);border:1px solid var(--line);border-radius:8px;padding:12px 14px}
section h2{font-size:15px;margin:0 0 8px;color:var(--dim);text-transform:uppercase;letter-spacing:.5px}
dl{display:grid;grid-template-columns:max-content 1fr;gap:6px 12px;margin:0}
dt{color:var(--dim)}dd{margin:0;overflow-wrap:anywhere}
.buttons{display:flex;gap:8px;margin-top:12px;flex-wrap:wrap}
button{font:inherit;padding:8px 16px;border-radius:6px;border:1px solid var(--accent);background:var(--accent);color:#fff;cursor:pointer}
button.plain{background:#fff;color:var(--accent)}
button:disabled{opacity:.5}
.voices{list-style:none;margin:0;padding:0}
.voices li{display:flex;justify-content:space-between;gap:8px;padding:4px 0;border-top:1px solid var(--line)}
.voices li:first-child{border-top:0}
.ok{color:var(--off)}.bad{color:var(--on)}
.tabs{display:flex;gap:4px;border-bottom:1px solid var(--line);margin-bottom:10px;flex-wrap:wrap}
.tabs button{background:none;color:var(--ink);border:0;border-bottom:3px solid transparent;border-radius:0;padding:6px 10px}
.tabs button.sel{border-bottom-color:var(--accent);color:var(--accent)}
fieldset{border:1px solid var(--line);border-radius:6px;margin:0 0 10px;padding:6px 10px}
legend{color:var(--dim);padding:0 4px}
.field{display:flex;flex-direction:column;gap:2px;margin:6px 0}
.field input{font:inherit;padding:6px 8px;border:1px solid var(--line);border-radius:4px;width:100%}
label.choice{display:inline-flex;align-items:center;gap:6px;margin:4px 14px 4px 0}
.row{display:flex;gap:8px}.row button{padding:4px 12px}
.grid2{display:grid;grid-template-columns:1fr;gap:0 16px}
@media(min-width:600px){.row{display:flex;gap:8px}.row button{padding:4px 12px}
.grid2{grid-template-columns:1fr 1fr}}
#message{margin-top:8px;white-space:pre-line}
pre{margin:0;max-height:320px;overflow:auto;font:12px/1.45 ui-monospace,"DejaVu Sans Mono",monospace;background:#f8f9fa;padding:8px;border-radius:4px;white-space:pre-wrap;overflow-wrap:anywhere}
.login{max-width:360px;margin:48px auto}
body[data-mode=login] #time,body[data-mode=login] #tx{visibility:hidden}
#banner{background:#fdecea;color:#8a1c1c;padding:8px 16px;border-bottom:1px solid #f5c2c0}
</style></head>
<body data-mode="%MODE%" data-password="%PASSWORD%">
<header><h1>Horatone</h1><span id="time">--:--:--</span><span id="tx" class="badge">…</span><button id="logout" class="plain" hidden>Log out</button></header>
<div id="banner" role="alert" hidden></div>
<main id="clock" hidden>
<section id="statuscard"><h2>Status</h2>
<dl>
<dt>Transmitter</dt><dd id="transmitter">…</dd>
<dt>Announcement</dt><dd id="announcement">…</dd>
<dt>Clip</dt><dd id="clip">…</dd>
<dt>Next slot</dt><dd id="next">…</dd>
<dt>Node</dt><dd id="node">…</dd>
<dt>Sound output</dt><dd id="sound">…</dd>
</dl>
<div class="buttons"><button id="say">Say The Time</button><button id="play" class="plain">Play</button></div>
<h2 style="margin-top:14px">Voices</h2><ul class="voices" id="voices"></ul>
</section>
<section id="settingscard"><h2>Settings</h2>
<div class="tabs" id="tabs"></div>
<form id="settings" autocomplete="off"></form>
<div class="buttons"><button id="save">Save</button><button id="reload" class="plain">Reload</button></div>
<div id="message" role="status"></div>
</section>
<section id="logcard"><h2>Log</h2><pre id="log"></pre></section>
</main>
<section class="login" id="loginbox" hidden><h2>Log in</h2>
<form id="loginform"><div class="field"><label for="password">Password</label>
<input type="password" id="password" autocomplete="current-password"></div>
<div class="buttons"><button>Log in</button></div><div id="loginmessage"></div></form></section>
<script>
"use strict";
let TOKEN="%TOKEN%";
const $=id=>document.getElementById(id);
const GONE="The clock is not answering (stopped or restarting); trying again.";
function banner(text){$("banner").textContent=text||"";$("banner").hidden=!text;}
// The clock's page token and whether it wants a login; null while the clock is not there.
// A clock started again has a new token and has forgotten every session.
async function session(){try{const r=await fetch("/session",{credentials:"same-origin",cache:"no-store"});
 if(!r.ok)return null;return await r.json();}catch(e){return null;}}
let finding=null;
function findClock(){if(!finding)finding=(async()=>{
 for(;;){const s=await session();
  if(s){if(s.login&&document.body.dataset.mode!=="login"){location.reload();await new Promise(()=>{});}
   TOKEN=s.token;banner("");finding=null;return s;}
  banner(GONE);await new Promise(f=>setTimeout(f,2000));}})();return finding;}
async function send(path,body){return fetch(path,{method:"POST",credentials:"same-origin",
 headers:{"X-Horatone-Token":TOKEN,"Content-Type":"application/x-www-form-urlencoded"},
 body:new URLSearchParams(body||{})});}
// A change, sent again once with the token of a clock that was started again; the answer as
// {ok, status, message, body}, or a message when the clock is not there.
async function post(path,body){let r;
 for(let attempt=0;;attempt++){
  try{r=await send(path,body);}catch(e){findClock();return{ok:false,status:0,message:GONE,body:{}};}
  if(r.status===401){location.reload();return{ok:false,status:401,message:"log in first",body:{}};}
  if(r.status===403&&attempt===0){const o=await r.clone().json().catch(()=>({}));
   if(o.message&&o.message.startsWith("refused:")){await findClock();continue;}}
  break;}
 const o=await r.json().catch(()=>({message:"the clock answered "+r.status}));
 return{ok:r.ok,status:r.status,message:o.message||"",body:o};}
if(document.body.dataset.password==="yes"&&document.body.dataset.mode!=="login"){
 $("logout").hidden=false;
 $("logout").onclick=async()=>{await post("/logout");location.reload();};}
if(document.body.dataset.mode==="login"){
 $("loginbox").hidden=false;
 $("loginform").onsubmit=async e=>{e.preventDefault();$("loginmessage").textContent="…";
  const r=await post("/login",{password:$("password").value});
  if(r.ok)location.reload();else $("loginmessage").textContent=r.message;};
}else{
 $("clock").hidden=false;
 const TABS=[["setup","Setup"],["voices","Audio Files Location"],["language","Language"],["schedule","Schedule"]];
 let revision="",fields=[],tab="setup";
 function status(s){
  $("time").textContent=s.time;
  const on=s.transmitter.indexOf("ON")>=0;
  $("tx").textContent=s.transmitter;$("tx").className="badge"+(on?" on":"");
  $("transmitter").textContent=on?"keyed":"released";
  $("announcement").textContent=s.announcing?"under way":"none";
  $("clip").textContent=s.clip||"—";
  $("next").textContent=s.next;$("node").textContent=s.node;$("sound").textContent=s.sound;
  const v=$("voices");v.textContent="";
  for(const x of s.voices){const li=document.createElement("li");
   const a=document.createElement("span");a.textContent=x.number+". "+(x.folder||"(none)")+" "+x.format;
   const b=document.createElement("span");b.textContent=x.verdict;
   b.className=x.verdict.startsWith("complete")?"ok":x.folder?"bad":"";
   li.append(a,b);v.append(li);}
  const log=$("log"),end=log.scrollTop+log.clientHeight>=log.scrollHeight-4;
  log.textContent=s.log.join("\n");if(end)log.scrollTop=log.scrollHeight;
 }
 // The live status. A stream that ends or is refused (too many pages open, the clock gone
 // or started again) is opened anew once the clock answers, with its settings loaded again.
 function connect(){const es=new EventSource("/events");
  es.onmessage=e=>status(JSON.parse(e.data));
  es.onerror=async()=>{es.close();$("node").textContent="(no live status; trying again)";
   const known=TOKEN;await findClock();if(TOKEN!==known)load();
   setTimeout(connect,2000);};}
 function showTab(name){tab=name;
  for(const b of $("tabs").children)b.className=b.dataset.tab===name?"sel":"";
  for(const f of $("settings").children)f.hidden=f.dataset.tab!==name;}
 function build(){
  const form=$("settings");form.textContent="";$("tabs").textContent="";
  for(const [name,title] of TABS){const b=document.createElement("button");b.type="button";
   b.textContent=title;b.dataset.tab=name;b.onclick=()=>showTab(name);$("tabs").append(b);
   const box=document.createElement("div");box.dataset.tab=name;
   if(name==="language")box.className="grid2";form.append(box);}
  const groups={},slots={};
  // A voice's folder and its format sit in the voice's own frame, as in the window.
  const slotBox=(f,box)=>{if(!f.slot)return box;let g=slots[f.slot];
   if(!g){g=document.createElement("fieldset");const l=document.createElement("legend");
    l.textContent=f.slotLabel;g.append(l);slots[f.slot]=g;box.append(g);}
   return g;};
  for(const f of fields){if(f.derived)continue;
   const box=slotBox(f,form.querySelector('div[data-tab="'+f.tab+'"]'));
   if(f.kind==="option"){
    let g=groups[f.group];
    if(!g){if(f.slot){g=document.createElement("div");}else{g=document.createElement("fieldset");
      const l=document.createElement("legend");l.textContent=f.groupLabel||f.group;g.append(l);}
     groups[f.group]=g;box.append(g);}
    const l=document.createElement("label");l.className="choice";
    const i=document.createElement("input");i.type="radio";i.name="g_"+f.group;i.dataset.key=f.key;
    i.checked=f.value==="True";l.append(i,document.createTextNode(f.label));g.append(l);
   }else if(f.kind==="check"){
    const l=document.createElement("label");l.className="choice";
    const i=document.createElement("input");i.type="checkbox";i.dataset.key=f.key;i.checked=f.value!=="0";
    l.append(i,document.createTextNode(f.label));box.append(l);
   }else{
    const d=document.createElement("div");d.className="field";
    const l=document.createElement("label");l.textContent=f.label;l.htmlFor="f_"+f.key;
    const i=document.createElement("input");i.id="f_"+f.key;i.dataset.key=f.key;
    i.type=f.key==="VOLSET"?"number":"text";if(f.key==="VOLSET"){i.min=-3000;i.max=0;i.step=1;}
    i.value=f.value;i.setAttribute("aria-label",f.label);
    if(f.preset!==undefined){const row=document.createElement("div");row.className="row";
     const b=document.createElement("button");b.type="button";b.className="plain";
     b.textContent=f.presetLabel;b.onclick=()=>{i.value=f.preset;};row.append(i,b);d.append(row);}
    else d.append(l,i);
    box.append(d);}
  }
  showTab(tab);
 }
 async function load(){let r;
  try{r=await fetch("/settings",{credentials:"same-origin",cache:"no-store"});}
  catch(e){await findClock();return load();}
  if(r.status===401){location.reload();return;}
  if(!r.ok)return;
  const s=await r.json();revision=s.revision;fields=s.fields;build();}
 function values(){const out={_revision:revision};
  for(const i of $("settings").querySelectorAll("input")){const k=i.dataset.key;
   if(i.type==="radio")out[k]=i.checked?"True":"False";
   else if(i.type==="checkbox")out[k]=i.checked?"1":"0";else out[k]=i.value;}
  return out;}
 $("save").onclick=async()=>{$("message").textContent="Saving…";$("message").className="";
  const r=await post("/settings",values());const o=r.body;
  $("message").textContent=(r.status===0?"Not saved: "+GONE:r.message)+
   (o.problems&&o.problems.length?"\n"+o.problems.join("\n"):"");
  $("message").className=r.ok?"ok":"bad";
  if(r.ok){revision=o.revision;await load();}};
 $("reload").onclick=async()=>{await load();$("message").textContent="";};
 for(const b of ["say","play"])$(b).onclick=async()=>{const r=await post("/"+b);
  if(!r.ok)$("message").textContent=r.message;};
 load();connect();
}
</script></body></html>
)HTML";

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

}  // namespace

std::string WebPage(const std::string& token, bool login, bool password) {
  return Replaced(Replaced(Replaced(kPage, "%MODE%", login ? "login" : "clock"), "%PASSWORD%",
                           password ? "yes" : "no"),
                  "%TOKEN%", token);
}

}  // namespace horatone
