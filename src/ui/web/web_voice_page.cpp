// The page's voice tools; see web_voice_page.h. Every request carries the page's token; a clip
// or an announcement comes back as WAV and plays from a blob: URL, so that the page's CSP
// needs no more than media-src blob:. A recording is encoded to 16-bit WAV in the page.
#include "ui/web/web_voice_page.h"

#include "announce/clip_names.h"

namespace horatone {
namespace {

constexpr const char* kSection = R"HTML(<section id="voicecard"><h2>Voices from the browser</h2>
<style>
#voicecard select,#voicecard input[type=text]{font:inherit;padding:6px 8px;border:1px solid var(--line);border-radius:4px;width:100%;max-width:100%}
#voicecard h3{font-size:14px;margin:14px 0 4px}
#voicecard audio{width:100%;margin-top:8px}
#vt_progress{width:100%}
#vt_lines:empty{display:none}
#vt_message,#vt_makemessage{margin-top:6px;white-space:pre-line;overflow-wrap:anywhere}
</style>
<div class="grid2">
<div class="field"><label for="vt_voice">Voice</label><select id="vt_voice">
<option value="active">The active folder</option><option value="1">Voice 1</option>
<option value="2">Voice 2</option><option value="3">Voice 3</option>
<option value="4">Voice 4</option><option value="5">Voice 5</option></select></div>
<div class="field"><label for="vt_name">Clip</label><select id="vt_name">%CLIPS%</select></div>
</div>
<div class="buttons"><button id="vt_listen" class="plain">Listen to the clip</button>
<button id="vt_say" class="plain">Listen to the announcement</button></div>
<audio id="vt_audio" controls></audio>
<h3>Put a clip in the voice</h3>
<div class="field"><label for="vt_file">A WAV or MP3 file for the clip</label>
<input type="file" id="vt_file" accept=".wav,.mp3,audio/wav,audio/mpeg"></div>
<div class="buttons"><button id="vt_put">Put the file in</button>
<button id="vt_record" class="plain">Record with the microphone</button></div>
<div id="vt_message" role="status"></div>
<h3>Make a voice</h3>
<div class="grid2">
<div class="field"><label for="vt_folder">Folder</label><input type="text" id="vt_folder" value="C:\HoraVoice\New\"></div>
<div class="field"><label for="vt_language">Language</label><select id="vt_language"></select></div>
<div class="field"><label for="vt_format">Format</label><select id="vt_format">
<option>wav</option><option>mp3</option><option>both</option></select></div>
<div class="field"><label for="vt_engine">Speech engine</label><input type="text" id="vt_engine" placeholder="the language's own"></div>
</div>
<div class="field"><label for="vt_clips">Only these clips</label><input type="text" id="vt_clips" placeholder="all of them"></div>
<div class="buttons"><button id="vt_make">Make the voice</button></div>
<progress id="vt_progress" max="100" value="0"></progress>
<div id="vt_makemessage" role="status"></div>
<pre id="vt_lines"></pre>
</section>
<script>
"use strict";
document.addEventListener("DOMContentLoaded",()=>{
 const vt=id=>document.getElementById(id);
 if(!vt("voicecard")||document.body.dataset.mode==="login")return;
 const say=(box,text,bad)=>{vt(box).textContent=text||"";vt(box).className=bad?"bad":text?"ok":"";};
 // A request with the page's token, sent again once with the token of a clock started again.
 async function ask(path,options){
  for(let attempt=0;;attempt++){
   const o=Object.assign({credentials:"same-origin",cache:"no-store"},options||{});
   o.headers=Object.assign({"X-Horatone-Token":TOKEN},(options||{}).headers||{});
   let r;try{r=await fetch(path,o);}catch(e){findClock();return null;}
   if(r.status===401){location.reload();return null;}
   if(r.status===403&&attempt===0){await findClock();continue;}
   return r;}}
 async function answer(r){if(!r)return{ok:false,message:GONE};
  const o=await r.json().catch(()=>({}));return{ok:r.ok,message:o.message||("the clock answered "+r.status)};}
 const chosen=()=>"voice="+encodeURIComponent(vt("vt_voice").value)+"&name="+encodeURIComponent(vt("vt_name").value);
 async function listen(path){say("vt_message","…");
  const r=await ask(path);
  if(!r||!r.ok){const a=await answer(r);say("vt_message",a.message,true);return;}
  const audio=vt("vt_audio");if(audio.src)URL.revokeObjectURL(audio.src);
  audio.src=URL.createObjectURL(await r.blob());say("vt_message","");
  audio.play().catch(()=>{});}
 // The voices by their folders, as the settings have them now.
 async function names(){try{const r=await fetch("/settings",{credentials:"same-origin",cache:"no-store"});
  if(!r.ok)return;for(const f of (await r.json()).fields){
   if(!f.slot||f.kind!=="text")continue;const o=vt("vt_voice").querySelector('option[value="'+f.slot+'"]');
   if(o)o.textContent=f.slotLabel+": "+(f.value||"(no folder)");}}catch(e){}}
 names();vt("vt_voice").onfocus=names;
 vt("vt_listen").onclick=()=>listen("/voice/clip?"+chosen());
 vt("vt_say").onclick=()=>listen("/voice/say");
 async function put(bytes,recording){say("vt_message","…");
  const r=await ask("/voice/upload?"+chosen()+(recording?"&kind=recording":""),
   {method:"POST",headers:{"Content-Type":"application/octet-stream"},body:bytes});
  const a=await answer(r);say("vt_message",a.message,!a.ok);}
 vt("vt_put").onclick=async()=>{const f=vt("vt_file").files[0];
  if(!f){say("vt_message","file: choose a WAV or MP3 file first",true);return;}
  await put(await f.arrayBuffer(),false);};
 // 16-bit mono WAV of the samples (full scale +-1).
 function wav(samples,rate){const b=new ArrayBuffer(44+samples.length*2),d=new DataView(b);
  const text=(at,s)=>{for(let i=0;i<s.length;i++)d.setUint8(at+i,s.charCodeAt(i));};
  text(0,"RIFF");d.setUint32(4,36+samples.length*2,true);text(8,"WAVE");text(12,"fmt ");
  d.setUint32(16,16,true);d.setUint16(20,1,true);d.setUint16(22,1,true);d.setUint32(24,rate,true);
  d.setUint32(28,rate*2,true);d.setUint16(32,2,true);d.setUint16(34,16,true);text(36,"data");
  d.setUint32(40,samples.length*2,true);
  for(let i=0;i<samples.length;i++){const s=Math.max(-1,Math.min(1,samples[i]));
   d.setInt16(44+i*2,s<0?s*32768:s*32767,true);}
  return b;}
 let recorder=null;
 vt("vt_record").onclick=async()=>{
  if(recorder){recorder.stop();return;}
  if(!navigator.mediaDevices||!window.isSecureContext){
   say("vt_message","recording: the microphone needs the page over HTTPS or on this machine (loopback)",true);return;}
  let stream;try{stream=await navigator.mediaDevices.getUserMedia({audio:{echoCancellation:false,noiseSuppression:false,autoGainControl:false}});}
  catch(e){say("vt_message","recording: no microphone ("+e.message+")",true);return;}
  const parts=[];recorder=new MediaRecorder(stream);
  recorder.ondataavailable=e=>parts.push(e.data);
  recorder.onstop=async()=>{stream.getTracks().forEach(t=>t.stop());recorder=null;
   vt("vt_record").textContent="Record with the microphone";say("vt_message","…");
   try{const context=new AudioContext();
    const sound=await context.decodeAudioData(await new Blob(parts).arrayBuffer());
    const mono=new Float32Array(sound.length);
    for(let c=0;c<sound.numberOfChannels;c++){const x=sound.getChannelData(c);
     for(let i=0;i<x.length;i++)mono[i]+=x[i]/sound.numberOfChannels;}
    context.close();await put(wav(mono,sound.sampleRate),true);}
   catch(e){say("vt_message","recording: it could not be read ("+e.message+")",true);}};
  recorder.start();vt("vt_record").textContent="Stop recording";
  say("vt_message","Recording… speak, then press Stop recording");};
 let polling=false;
 async function progress(){const r=await ask("/voice/make/progress");if(!r||!r.ok)return false;
  const p=await r.json();const list=vt("vt_language");
  if(!list.options.length)for(const l of p.languages){const o=document.createElement("option");
   o.textContent=l;if(l==="en")o.selected=true;list.append(o);}
  vt("vt_progress").value=p.percent;vt("vt_lines").textContent=p.lines.join("\n");
  if(p.running)say("vt_makemessage","making "+p.folder+": "+p.percent+"%");
  else if(p.result)say("vt_makemessage",p.result,!p.result.startsWith("made"));
  vt("vt_make").disabled=p.running;return p.running;}
 async function follow(){if(polling)return;polling=true;
  while(await progress())await new Promise(f=>setTimeout(f,1000));polling=false;}
 vt("vt_make").onclick=async()=>{
  const r=await ask("/voice/make",{method:"POST",headers:{"Content-Type":"application/x-www-form-urlencoded"},
   body:new URLSearchParams({folder:vt("vt_folder").value,language:vt("vt_language").value,
    format:vt("vt_format").value,engine:vt("vt_engine").value,clips:vt("vt_clips").value})});
  const a=await answer(r);say("vt_makemessage",a.message,!a.ok);if(a.ok)follow();};
 follow();
});
</script>
)HTML";

}  // namespace

std::string WebVoiceTools() {
  std::string options;
  for (std::string_view name : clips::kAll) {
    options += "<option>" + std::string(name) + "</option>";
  }
  std::string text = kSection;
  const std::string mark = "%CLIPS%";
  text.replace(text.find(mark), mark.size(), options);
  return text;
}

}  // namespace horatone
