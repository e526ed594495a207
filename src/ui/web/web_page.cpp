// The page's text; see web_page.h. The status arrives as server-sent events; the settings form
// is built from the fields the server lists, so that it always shows the window's own labels.
#include "ui/web/web_page.h"

#include "ui/web/web_voice_page.h"

namespace horatone {
namespace {

constexpr const char* kPage = R"HTML(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Horatone</title>
<style>
:root{--bg:#f3f4f6;--card:#fff;--ink:#1f2933;--dim:#62707d;--line:#d9dee3;--accent:#1d5fa8;--on:#c62828;--off:#2e7d32;--warn:#a15c00}
*{box-sizing:border-box}
[hidden]{display:none!important}
html{overflow-x:hidden}
body{margin:0;font:15px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;background:var(--bg);color:var(--ink);overflow-wrap:anywhere}
header{display:flex;align-items:center;justify-content:space-between;gap:12px;flex-wrap:wrap;padding:12px 16px;background:#18324d;color:#fff}
header h1{font-size:18px;margin:0;font-weight:600}
#time{font:600 28px/1 ui-monospace,"DejaVu Sans Mono",monospace;letter-spacing:1px}
.badge{display:inline-block;padding:4px 10px;border-radius:12px;font-weight:600;color:#fff;background:var(--off)}
.badge.on{background:var(--on)}
main{max-width:1180px;margin:0 auto;padding:12px;display:grid;gap:12px;grid-template-columns:minmax(0,1fr)}
@media(min-width:900px){main{grid-template-columns:minmax(0,5fr) minmax(0,7fr)}#logcard{grid-column:1/-1}}
section{background:var(--card);border:1px solid var(--line);border-radius:8px;padding:12px 14px;min-width:0}
section h2{font-size:15px;margin:0 0 8px;color:var(--dim);text-transform:uppercase;letter-spacing:.5px}
dl{display:grid;grid-template-columns:max-content minmax(0,1fr);gap:6px 12px;margin:0}
dt{color:var(--dim)}dd{margin:0;overflow-wrap:anywhere;min-width:0}
.buttons{display:flex;gap:8px;margin-top:12px;flex-wrap:wrap}
button{font:inherit;padding:8px 16px;border-radius:6px;border:1px solid var(--accent);background:var(--accent);color:#fff;cursor:pointer;max-width:100%;overflow-wrap:anywhere}
button.plain{background:#fff;color:var(--accent)}
button.danger{background:#fff;color:var(--on);border-color:var(--on)}
button:disabled{opacity:.5}
.voices{list-style:none;margin:0;padding:0}
.voices li{display:flex;justify-content:space-between;gap:8px;padding:4px 0;border-top:1px solid var(--line)}
.voices li span{min-width:0;overflow-wrap:anywhere}
.voices li:first-child{border-top:0}
.ok{color:var(--off)}.warn{color:var(--warn)}.bad{color:var(--on)}
.tabs{display:flex;gap:4px;border-bottom:1px solid var(--line);margin-bottom:10px;flex-wrap:wrap}
.tabs button{background:none;color:var(--ink);border:0;border-bottom:3px solid transparent;border-radius:0;padding:6px 10px}
.tabs button.sel{border-bottom-color:var(--accent);color:var(--accent)}
fieldset{border:1px solid var(--line);border-radius:6px;margin:0 0 10px;padding:6px 10px;min-width:0}
legend{color:var(--dim);padding:0 4px}
.field{display:flex;flex-direction:column;gap:2px;margin:6px 0;min-width:0}
.field input,.field textarea,.panel input[type=text]{font:inherit;padding:6px 8px;border:1px solid var(--line);border-radius:4px;width:100%;min-width:0}
textarea{resize:none;overflow:hidden}
input[type=range]{width:100%;margin:4px 0}
.scale{display:flex;justify-content:space-between;color:var(--dim);font-size:13px}
.value{font:13px ui-monospace,"DejaVu Sans Mono",monospace}
label.choice{display:inline-flex;align-items:center;gap:6px;margin:4px 14px 4px 0}
.row{display:flex;gap:8px;min-width:0;align-items:flex-start}.row button{padding:4px 12px;flex:none;overflow-wrap:normal}
.row input,.row textarea{flex:1}
.volhead{display:flex;justify-content:space-between;gap:8px}
.grid2{display:grid;grid-template-columns:minmax(0,1fr);gap:0 16px}
@media(min-width:600px){.grid2{grid-template-columns:minmax(0,1fr) minmax(0,1fr)}}
.actions{position:sticky;bottom:0;z-index:2;background:var(--card);border-top:1px solid var(--line);margin:8px -14px -12px;padding:8px 14px;border-radius:0 0 8px 8px}
.actions .buttons{margin-top:0}
#message{margin-top:6px;white-space:pre-line}
.speed{display:flex;gap:10px;align-items:stretch}
.speed input[type=range]{writing-mode:vertical-lr;direction:rtl;width:28px;height:150px;margin:0}
.speed .scale{flex-direction:column}
.details{display:grid;grid-template-columns:minmax(0,1fr);gap:0 12px}
@media(min-width:600px){.details{grid-template-columns:minmax(0,2fr) minmax(0,1fr)}}
.ptt{font-weight:700;color:var(--off)}.ptt.on{color:var(--on)}
pre{margin:0;max-height:320px;overflow:auto;font:12px/1.45 ui-monospace,"DejaVu Sans Mono",monospace;background:#f8f9fa;padding:8px;border-radius:4px;white-space:pre-wrap;overflow-wrap:anywhere}
.login{max-width:360px;margin:48px auto}
body[data-mode=login] #time,body[data-mode=login] #tx{visibility:hidden}
#banner{background:#fdecea;color:#8a1c1c;padding:8px 16px;border-bottom:1px solid #f5c2c0}
#opened{background:#e8f1fb;padding:8px 16px;border-bottom:1px solid #c6daf0}
.overlay{position:fixed;inset:0;background:rgba(20,30,40,.45);display:flex;align-items:flex-start;justify-content:center;padding:24px 12px;z-index:5;overflow:auto}
.overlay section{max-width:460px;width:100%}
.about h2{text-transform:none;letter-spacing:0}
.about h3{margin:0 0 8px;font-size:17px;text-align:center}
.about p{margin:2px 0;text-align:center}
.about input{font:inherit;padding:6px 8px;border:1px solid var(--line);border-radius:4px;width:100%}
</style></head>
<body data-mode="%MODE%" data-password="%PASSWORD%">
<header><h1>Horatone</h1><span id="time">--:--:--</span><span id="tx" class="badge">…</span><button id="logout" class="plain" hidden>Log out</button></header>
<div id="banner" role="alert" hidden></div>
<div id="opened" role="status" hidden></div>
<main id="clock" hidden>
<section id="statuscard"><h2>Status</h2>
<dl>
<dt data-caption="Label7">Local Time</dt><dd id="localtime">…</dd>
<dt>Transmitter</dt><dd id="transmitter">…</dd>
<dt>Announcement</dt><dd id="announcement">…</dd>
<dt>Clip</dt><dd id="clip">…</dd>
<dt>Next slot</dt><dd id="next">…</dd>
<dt>Node</dt><dd id="node">…</dd>
<dt>Sound output</dt><dd id="sound">…</dd>
</dl>
<div class="buttons"><button id="say" data-caption="Command29">Say The Time</button><button id="play" class="plain" data-caption="Command1">Play</button></div>
<h2 style="margin-top:14px">Voices</h2><ul class="voices" id="voices"></ul>
</section>
<section id="settingscard"><h2>Settings</h2>
<div class="tabs" id="tabs"></div>
<form id="settings" autocomplete="off"></form>
<div id="active" data-tab="setup">
<fieldset><legend data-caption="Frame13">wav / mp3</legend><span id="activeformat">…</span></fieldset>
<fieldset><legend data-caption="Frame5">Audio folder</legend><span id="activefolder">…</span></fieldset>
</div>
<div class="actions"><div class="buttons"><button id="about" class="plain" data-caption="Command2">About</button><button id="save" data-caption="Command5" data-tip="saveTip">Save</button><button id="saveexit" class="plain" data-caption="SaveAndExit" data-tip="saveExitTip">Save &amp; Exit</button><button id="reload" class="plain">Reload</button></div>
<div id="message" role="status"></div></div>
</section>
%VOICETOOLS%
<section id="detailscard"><h2>Details</h2>
<div class="details"><div>
<fieldset><legend data-caption="Frame4">Progress</legend>
<input type="range" id="bar_H1" data-bar="H1" step="1" aria-label="Position">
<dl><dt data-caption="timeLeft">Time Left :</dt><dd id="t_Text1" class="value"></dd>
<dt data-caption="timeUsed">Time Used :</dt><dd id="t_Text2" class="value"></dd>
<dt data-caption="length">Lenght :</dt><dd id="t_Text3" class="value"></dd></dl>
<div class="scale"><span></span><span data-caption="full">100%</span></div></fieldset>
<fieldset><legend data-caption="Frame3">Balance</legend>
<input type="range" id="bar_H2" data-bar="H2" step="100" aria-label="Balance">
<div class="scale"><span id="balancescale"></span><span class="value" id="v_H2"></span></div></fieldset>
<dl><dt>HH</dt><dd id="t_HH" class="value"></dd><dt>MM</dt><dd id="t_MM" class="value"></dd>
<dt>AM/PM</dt><dd id="t_AM_PM" class="value"></dd><dt>PTT</dt><dd id="ptt" class="ptt"></dd></dl>
<div class="buttons"><button id="command9" class="plain" data-caption="Command9">Defalt Voice 1</button></div>
</div>
<fieldset><legend data-caption="Frame2">Speed</legend><div class="speed">
<input type="range" id="bar_V2" data-bar="V2" step="5" aria-label="Speed">
<div class="scale" id="speedscale"></div></div>
<div class="value" id="v_V2"></div></fieldset>
</div></section>
<section id="nodecard" class="panel" hidden><h2>Simulated node</h2>
<div class="field"><label for="dtmf">DTMF digits</label><div class="row"><input type="text" id="dtmf" inputmode="tel"><button id="dtmfsend" type="button">Send</button></div></div>
<div class="field"><label for="chat">Chat line</label><div class="row"><input type="text" id="chat"><button id="chatsend" type="button">Send</button></div></div>
<div><label class="choice"><input type="checkbox" id="busy1">Busy 1</label><label class="choice"><input type="checkbox" id="busy2">Busy 2</label><label class="choice"><input type="checkbox" id="busy3">Busy 3</label>
<strong id="nodetx"></strong></div>
<pre id="calls"></pre>
<div class="buttons"><button id="closenode" class="danger" type="button" title="The node program closes; the clock ends with it, without saving">Close node and end the clock</button></div>
<div id="nodemessage" role="status"></div>
</section>
<section id="logcard"><h2>Log</h2><pre id="log"></pre></section>
</main>
<div class="overlay" id="aboutbox" hidden><section class="about" role="dialog" aria-labelledby="abouttitle">
<h2 id="aboutcaption"></h2><h3 id="abouttitle"></h3><div id="aboutlines"></div>
<div class="buttons" style="justify-content:center"><button id="aboutmail" class="plain" type="button"></button><button id="aboutweb" class="plain" type="button"></button></div>
<div class="field"><input id="amount" list="amounts" aria-label="Donation amount"><datalist id="amounts"></datalist></div>
<div class="buttons"><button id="donate" type="button" style="font-weight:700"></button><button id="abouthide" class="plain" type="button"></button></div>
<div id="aboutmessage" role="status"></div>
</section></div>
<section class="login" id="loginbox" hidden><h2>Log in</h2>
<form id="loginform"><div class="field"><label for="password">Password</label>
<input type="password" id="password" autocomplete="current-password"></div>
<div class="buttons"><button>Log in</button></div><div id="loginmessage"></div></form></section>
<script>
"use strict";
let TOKEN="%TOKEN%";
const $=id=>document.getElementById(id);
const GONE="The clock is not answering (stopped or restarting); trying again.";
let ENDED="";
function banner(text){if(ENDED&&text===GONE)text=ENDED;$("banner").textContent=text||"";$("banner").hidden=!text;}
// The clock's page token and whether it wants a login; null while the clock is not there.
// A clock started again has a new token and has forgotten every session.
async function session(){try{const r=await fetch("/session",{credentials:"same-origin",cache:"no-store"});
 if(!r.ok)return null;return await r.json();}catch(e){return null;}}
let finding=null;
function findClock(){if(!finding)finding=(async()=>{
 for(;;){const s=await session();
  if(s){if(s.login&&document.body.dataset.mode!=="login"){location.reload();await new Promise(()=>{});}
   TOKEN=s.token;ENDED="";banner("");finding=null;return s;}
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
 const TABS=["setup","voices","language","schedule"];
 let revision="",fields=[],tab="setup",captions={},shownCaptions="",edited=false;
 const say=(box,text,good)=>{$(box).textContent=text;$(box).className=good?"ok":"bad";};
 // The window's captions, from its language texts, on the page's own controls.
 function caption(c){captions=c;
  for(const e of document.querySelectorAll("[data-caption]")){const t=c[e.dataset.caption];
   if(t!==undefined&&e.textContent!==t)e.textContent=t;}
  for(const e of document.querySelectorAll("[data-tip]"))e.title=c[e.dataset.tip]||"";
  const names={setup:c.tabSetup,voices:c.tabVoices,language:c.tabLanguage,schedule:"Schedule"};
  for(const b of $("tabs").children)b.textContent=names[b.dataset.tab];
  $("balancescale").textContent=c.balanceScale;
  const sp=$("speedscale");if(!sp.children.length)for(const t of c.speedScale){const x=document.createElement("span");x.textContent=t;sp.append(x);}
  for(const e of document.querySelectorAll(".volscale"))e.replaceChildren(...c.volumeScale.map(t=>{const x=document.createElement("span");x.textContent=t;return x;}));}
 // A use of a window control answers with the settings values it changed; a form that was
 // current follows them, so that the page's next save does not undo them.
 function follow(o){if(!o||o.revisionBefore===undefined)return;
  if(o.revisionBefore===revision){revision=o.revision;
   for(const [k,v] of Object.entries(o.settings||{}))for(const i of $("settings").querySelectorAll('[data-key="'+k+'"]')){
    if(i.type==="radio"||i.type==="checkbox")i.checked=i.type==="radio"?v==="True":v!=="0";else{i.value=v;shown(i);}}}
  for(const link of o.opened||[])openLink(link);}
 function openLink(link){const href=/^[a-z][a-z0-9+.-]*:/i.test(link)?link:"https://"+link;
  const a=document.createElement("a");a.href=href;a.textContent=href;a.target="_blank";a.rel="noopener";
  $("opened").replaceChildren(document.createTextNode("The clock handed over this link: "),a);$("opened").hidden=false;
  window.open(href,"_blank","noopener");}
 async function use(path,body,box){const r=await post(path,body);
  if(box)say(box,r.ok?"":r.message,r.ok);
  if(r.ok)follow(r.body);
  return r;}
 function ended(text){ENDED=text+" Start it again to use this page.";banner(ENDED);}
 // The bars: what the operator drags goes to the clock at once, one request at a time, the
 // last position winning; the live status moves a bar only while it is not being dragged.
 const pending={},busy={},held={};let moving=Promise.resolve();
 function moveBar(name,value){pending[name]=value;if(busy[name])return;busy[name]=true;
  const before=moving;
  moving=(async()=>{await before;
   while(pending[name]!==undefined){const v=pending[name];delete pending[name];
    const r=await use("/window/bar",{name,value:v});if(!r.ok)say("message",r.message,false);}
   busy[name]=false;})();}
 function bindBar(input){const name=input.dataset.bar;
  input.addEventListener("pointerdown",()=>held[name]=true);
  const let_go=()=>setTimeout(()=>held[name]=false,300);
  input.addEventListener("pointerup",let_go);input.addEventListener("change",let_go);
  input.addEventListener("input",()=>{held[name]=true;moveBar(name,input.value);barText(name,input.value);});}
 function barText(name,v){if(name==="V2")$("v_V2").textContent=v+"%";if(name==="H2")$("v_H2").textContent=v;
  if(name==="V1")for(const e of document.querySelectorAll(".volvalue"))e.textContent=v;}
 function showBar(name,b){for(const input of document.querySelectorAll('[data-bar="'+name+'"]')){
  const low=Math.min(b.min,b.max),high=Math.max(b.min,b.max);
  if(+input.min!==low)input.min=low;if(+input.max!==high)input.max=high;
  if(!held[name]&&+input.value!==b.value){input.value=b.value;barText(name,b.value);}}}
 for(const i of document.querySelectorAll("#detailscard [data-bar]"))bindBar(i);
 function status(s){
  $("time").textContent=s.time;$("localtime").textContent=s.time;
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
   b.className=x.verdict==="complete"?"ok":x.verdict.startsWith("complete")?"warn":x.folder?"bad":"";
   li.append(a,b);v.append(li);}
  const log=$("log"),end=log.scrollTop+log.clientHeight>=log.scrollHeight-4;
  log.textContent=s.log.join("\n");if(end)log.scrollTop=log.scrollHeight;
  if(s.captions){const c=JSON.stringify(s.captions);
   if(c!==shownCaptions){const first=!shownCaptions;shownCaptions=c;caption(s.captions);
    // The form's labels are the same captions: drawn again when nothing in it is typed yet.
    if(!first&&!edited)load();}}
  if(s.bars)for(const [name,b] of Object.entries(s.bars))showBar(name,b);
  if(s.texts){for(const [k,t] of Object.entries(s.texts)){const e=$("t_"+k);if(e)e.textContent=t;}
   $("activefolder").textContent=s.texts.FileLocation;
   for(const e of document.querySelectorAll(".volvalue"))if(!held.V1)e.textContent=s.texts.VolSet;}
  if(s.format!==undefined)$("activeformat").textContent=s.format;
  if(s.ptt){$("ptt").textContent=s.ptt.caption;$("ptt").className="ptt"+(s.ptt.on?" on":"");}
  about(s.about);
  const p=s.panel;$("nodecard").hidden=!p;
  if(p){for(let n=1;n<=3;n++)if(document.activeElement!==$("busy"+n))$("busy"+n).checked=p.busy[n-1];
   $("nodetx").textContent=p.keyed?"Transmitting":"Receiving";$("nodetx").className=p.keyed?"bad":"ok";
   const c=$("calls"),end2=c.scrollTop+c.clientHeight>=c.scrollHeight-4,t=p.calls.join("\n");
   if(c.textContent!==t){c.textContent=t;if(end2)c.scrollTop=c.scrollHeight;}}
 }
 function about(a){$("aboutbox").hidden=!(a&&a.visible);if(!a)return;
  $("aboutcaption").textContent=a.caption;$("abouttitle").textContent=a.title;
  const lines=$("aboutlines");if(lines.children.length!==a.lines.length)lines.replaceChildren(...a.lines.map(t=>{const p=document.createElement("p");p.textContent=t;return p;}));
  $("aboutmail").textContent=a.email;$("aboutweb").textContent=a.web;
  const list=$("amounts");if(list.children.length!==a.items.length)list.replaceChildren(...a.items.map(t=>{const o=document.createElement("option");o.value=t;return o;}));
  if(document.activeElement!==$("amount")&&$("amount").dataset.shown!==a.amount){$("amount").value=a.amount;$("amount").dataset.shown=a.amount;}
  $("amount").title=a.amountTip;$("donate").textContent=a.donate;$("donate").title=a.donateTip;$("abouthide").textContent=a.hide;}
 // The live status. A stream that ends or is refused (too many pages open, the clock gone
 // or started again) is opened anew once the clock answers, with its settings loaded again.
 function connect(){const es=new EventSource("/events");
  es.onmessage=e=>status(JSON.parse(e.data));
  es.onerror=async()=>{es.close();$("node").textContent="(no live status; trying again)";
   const known=TOKEN;await findClock();if(TOKEN!==known)load();
   setTimeout(connect,2000);};}
 function showTab(name){tab=name;
  for(const b of $("tabs").children)b.className=b.dataset.tab===name?"sel":"";
  for(const f of $("settings").children)f.hidden=f.dataset.tab!==name;
  $("active").hidden=name!=="setup";fit();}
 // A text box grows with its text, and keeps it on one line for the settings file.
 function shown(i){if(i.tagName==="TEXTAREA"&&i.offsetParent){i.style.height="auto";i.style.height=i.scrollHeight+2+"px";}}
 const fit=()=>{for(const i of $("settings").querySelectorAll("textarea"))shown(i);};
 window.addEventListener("resize",fit);
 function textBox(f){const i=document.createElement(f.key==="DTMFTIME"?"input":"textarea");
  if(i.tagName==="TEXTAREA"){i.rows=1;i.addEventListener("keydown",e=>{if(e.key==="Enter")e.preventDefault();});
   i.addEventListener("input",()=>{if(/[\r\n]/.test(i.value))i.value=i.value.replace(/[\r\n]+/g," ");shown(i);});}
  else i.type="text";return i;}
 function volumeField(f,d){const l=document.createElement("label");l.textContent=f.label;l.htmlFor="f_VOLSET";
  const i=document.createElement("input");i.type="range";i.id="f_VOLSET";i.dataset.key=f.key;i.dataset.bar="V1";
  i.min=-3000;i.max=0;i.step=50;i.value=f.value;i.setAttribute("aria-label",f.label);
  const sc=document.createElement("div");sc.className="scale volscale";
  const val=document.createElement("span");val.className="value volvalue";val.textContent=f.value;
  const head=document.createElement("div");head.className="volhead";head.append(l,val);
  d.append(head,i,sc);bindBar(i);}
 function build(){
  const form=$("settings");form.textContent="";$("tabs").textContent="";
  for(const name of TABS){const b=document.createElement("button");b.type="button";
   b.dataset.tab=name;b.onclick=()=>showTab(name);$("tabs").append(b);
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
    if(f.key==="VOLSET"){volumeField(f,d);box.append(d);continue;}
    const l=document.createElement("label");l.textContent=f.label;l.htmlFor="f_"+f.key;
    const i=textBox(f);i.id="f_"+f.key;i.dataset.key=f.key;
    i.value=f.value;i.setAttribute("aria-label",f.label);
    if(f.preset!==undefined){const row=document.createElement("div");row.className="row";
     const b=document.createElement("button");b.type="button";b.className="plain";
     b.textContent=f.presetLabel;b.dataset.button=f.presetButton;
     b.onclick=()=>use("/window/click",{name:f.presetButton},"message");row.append(i,b);d.append(row);}
    else d.append(l,i);
    box.append(d);}
  }
  showTab(tab);edited=false;
  if(shownCaptions)caption(captions);fit();
 }
 $("settings").addEventListener("input",e=>{if(e.target.dataset.bar===undefined)edited=true;});
 async function load(){let r;
  try{r=await fetch("/settings",{credentials:"same-origin",cache:"no-store"});}
  catch(e){await findClock();return load();}
  if(r.status===401){location.reload();return;}
  if(!r.ok)return;
  const s=await r.json();revision=s.revision;fields=s.fields;build();}
 function values(){const out={_revision:revision};
  for(const i of $("settings").querySelectorAll("input,textarea")){const k=i.dataset.key;
   if(i.type==="radio")out[k]=i.checked?"True":"False";
   else if(i.type==="checkbox")out[k]=i.checked?"1":"0";else out[k]=i.value;}
  return out;}
 async function save(){$("message").textContent="Saving…";$("message").className="";
  // A bar still on its way changes the settings the save is built on.
  await moving;
  const r=await post("/settings",values());const o=r.body;
  $("message").textContent=(r.status===0?"Not saved: "+GONE:r.message)+
   (o.problems&&o.problems.length?"\n"+o.problems.join("\n"):"");
  $("message").className=r.ok?"ok":"bad";
  if(r.ok){revision=o.revision;await load();}
  return r.ok;}
 $("save").onclick=save;
 // Save & Exit: the page's values first, as the window's controls already hold the
 // operator's changes; then the window's own button.
 $("saveexit").onclick=async()=>{if(!await save())return;
  const r=await use("/window/click",{name:"SaveAndExit"},"message");
  if(r.ok||r.status===0||r.status===503)ended("The clock has ended (saved).");};
 $("reload").onclick=async()=>{await load();$("message").textContent="";};
 for(const b of ["say","play"])$(b).onclick=async()=>{const r=await post("/"+b);
  if(!r.ok)$("message").textContent=r.message;};
 $("about").onclick=()=>use("/window/click",{name:"Command2"},"message");
 $("command9").onclick=()=>use("/window/click",{name:"Command9"},"message");
 $("abouthide").onclick=()=>use("/window/about",{name:"Command1"},"aboutmessage");
 $("aboutweb").onclick=()=>use("/window/about",{name:"Command2"},"aboutmessage");
 $("aboutmail").onclick=()=>use("/window/about",{name:"Command3"},"aboutmessage");
 $("donate").onclick=async()=>{const text=$("amount").value;
  const r=await use("/window/about",{name:"Command4",text},"aboutmessage");
  if(r.ok&&!(r.body.opened||[]).length)say("aboutmessage","\""+text+"\" is none of the amounts in the list; nothing was opened.",false);};
 $("dtmfsend").onclick=()=>use("/node/dtmf",{digits:$("dtmf").value},"nodemessage");
 $("chatsend").onclick=()=>use("/node/chat",{line:$("chat").value},"nodemessage");
 $("dtmf").onkeydown=e=>{if(e.key==="Enter")$("dtmfsend").click();};
 $("chat").onkeydown=e=>{if(e.key==="Enter")$("chatsend").click();};
 for(let n=1;n<=3;n++)$("busy"+n).onchange=()=>use("/node/busy",{flag:n,on:$("busy"+n).checked?1:0},"nodemessage");
 $("closenode").onclick=async()=>{const r=await use("/node/close",{},"nodemessage");
  if(r.ok||r.status===0||r.status===503)ended("The node has closed and the clock with it.");};
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
  return Replaced(Replaced(Replaced(Replaced(kPage, "%VOICETOOLS%", WebVoiceTools()), "%MODE%",
                                    login ? "login" : "clock"),
                           "%PASSWORD%", password ? "yes" : "no"),
                  "%TOKEN%", token);
}

}  // namespace horatone
